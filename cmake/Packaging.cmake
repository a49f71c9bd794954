# Debian packages from the build: `cpack -G DEB` in the build folder makes snapsave-cli (the command line
# alone) and, with the desktop program built, snapsave (the program, its languages, icon and desktop entry).
# Their library dependencies are computed by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME snapsave)
set(CPACK_PACKAGE_VENDOR "Vornel")
set(CPACK_PACKAGE_CONTACT "Snapsave developers <snapsave@vornel.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find and recover deleted and lost files")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://vornel.invalid/snapsave")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli)
if(SNAPSAVE_BUILD_UI)
  list(APPEND CPACK_COMPONENTS_ALL desktop)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME snapsave-cli)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_CLI_DESCRIPTION
    "find and recover deleted and lost files (command line)\n"
    "snapsave-cli lists the deleted and lost files on a disk, a volume or a\n"
    "disk-image file (raw, E01, VHD, VHDX, VMDK, QCOW2) and copies them to a\n"
    "folder: a quick scan of the FAT, exFAT, NTFS or ext metadata, a deep scan\n"
    "that rebuilds lost folders from metadata found anywhere, and carving of\n"
    "about eighty file types by their signatures, each checked by its own\n"
    "structure. It can also copy a failing disk into an image first. Sources\n"
    "are only ever read.")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME snapsave)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION
    "find and recover deleted and lost files (desktop program)\n"
    "Snapsave leads through choosing a disk, a volume or an image file,\n"
    "scanning it, browsing and previewing what it found, and copying the\n"
    "chosen files to a folder. Sources are only ever read.")
include(CPack)
