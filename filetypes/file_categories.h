// The six display categories and the extension test every engine and view uses to sort a name into one.
#pragma once

#include <string_view>

namespace snapsave {

inline constexpr std::string_view kPhotoList =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|*.sr2|*.arw|"
    "*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|*.orf|*.erf|*.indd|*.pef|"
    "*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|*.rw2|*.heic|*.heif|*.webp|*.cr3|";
// Photo extensions that cannot join the list above: its test is a plain substring test, and "avif" holds
// "avi". Matched as whole items, and only for names no list claims.
inline constexpr std::string_view kPhotoWholeItemList = "*.avif|";
inline constexpr std::string_view kAudioList =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|*.amr|*.at3|*."
    "caf|"
    "*.dss|*.m4r|*.nra|*.snd|*.flac|*.opus|*.aac|*.aif|*.aifc|*.m4b|";
inline constexpr std::string_view kVideoList =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|*.m4b|*.mkv|*."
    "mts|"
    "*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|*.mxf|*.lrv|*.m2t|";
inline constexpr std::string_view kDocumentList =
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.html|*.pst|*.dbx|*."
    "wps|"
    "*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb|*.odp|*.odg|*.epub|*.msg|*.ost|*.sqlite|";
inline constexpr std::string_view kArchiveList =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso|*.xz|";

inline constexpr std::string_view kCategoryPhoto = "photo";
inline constexpr std::string_view kCategoryAudio = "audio";
inline constexpr std::string_view kCategoryVideo = "video";
inline constexpr std::string_view kCategoryDocument = "document";
inline constexpr std::string_view kCategoryArchive = "archive";
inline constexpr std::string_view kCategoryOthers = "others";

// True when the lower-cased extension of `name` occurs anywhere in `list`: a plain substring test, so an
// empty extension (no dot) is in every list and ".p" is a photo.
bool NameExtensionInList(std::string_view name, std::string_view list);

// First category whose list contains the name's extension, else "others".
std::string_view ClassifyFileName(std::string_view name);

// The preview routes: audio or video to "tmp.avi", photos to "tmp.jpg", anything else to the caller's buffer.
enum class PreviewKind { kBuffer, kMedia, kPicture };
PreviewKind PreviewKindOf(std::string_view name);

}  // namespace snapsave
