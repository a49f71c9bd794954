# bash completion for snapsave-cli
# Commands, options, --types names, and sources: image files, and the IDs `snapsave-cli list` shows when the
# disks can be read (it prints nothing without the rights, so nothing is offered then).

# Every name --types takes: the categories, then the known extensions (a test keeps this list true).
_snapsave_cli_types="
  photo audio video document archive 3g2 3gp 7z aac accdb acd ace aif aifc aiff ajp amr ape arj arw
  asf at3 au avi avif bmp bz2 cab caf chm cr2 cr3 crw db dbx dcr dib divu divx dll dng doc docm docx
  dot dotm dotx dps dpt dss dv epub erf et ett exe f4v fla flac flv gho gif gz gzip hdmov heic heif
  html ico iff indd iso jar jfif jp2 jpe jpeg jpg k25 kdc lrv lzh m2t m4a m4b m4p m4r m4v mdb mef mid
  midi mkv mmf mod moi mos mov mp2 mp3 mp4 mpeg mpg mpp mqv mrw msg mso07 mts mxf nef nra nrw odg odp
  ods odt ogg ogm ole one opus orf ost pbm pct pcx pdf pef pgm png pot potm potx pps ppsm ppsx ppt
  pptm pptx psd psp pst ra raf rar raw rm rmvb rps rw2 scr snd sqlite sr2 srf svi swf sys tar tga thm
  tif tiff tod ts ttf txt uue vid vob wav webp wma wmv wps wpt x3f xla xlam xls xlsb xlsm xlsx xlt
  xltm xltx xml xz zip
"

_snapsave_cli() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null; then
    _init_completion -n := || return
  else
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  fi

  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      list | scan | image)
        command=${words[i]}
        break
        ;;
    esac
  done
  if [[ -z $command ]]; then
    mapfile -t COMPREPLY < <(compgen -W "list scan image -h --help --version" -- "$cur")
    return
  fi

  case $prev in
    --types)
      # A comma-separated list: complete the name after the last comma.
      local done="" last=$cur
      if [[ $cur == *,* ]]; then
        done=${cur%,*},
        last=${cur##*,}
      fi
      mapfile -t COMPREPLY < <(compgen -W "$_snapsave_cli_types" -P "$done" -- "$last")
      compopt -o nospace 2>/dev/null
      return
      ;;
    --recover)
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      compopt -o filenames 2>/dev/null
      return
      ;;
    --checkpoint-mib | --retries)
      return
      ;;
  esac

  local options
  case $command in
    list) options="--json --search --missing-pieces -h --help" ;;
    scan) options="--quick --types --list --json --all --recover --force --resume --fresh --checkpoint-mib --missing-pieces -h --help" ;;
    image) options="--force --retries --missing-pieces -h --help" ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return
  fi

  # A source (or, for image, the file to write): files, and what `list` shows.
  local ids=""
  if [[ $command != list ]]; then
    local listed
    listed=$(snapsave-cli list --json 2>/dev/null)
    ids=$(sed -n 's/.*"id":"\{0,1\}\([^",]*\)"\{0,1\},.*/\1/p' <<<"$listed")
    ids+=" "$(sed -n 's/.*"disk":\([0-9]*\),.*"kind":"disk".*/disk\1/p' <<<"$listed")
  fi
  mapfile -t COMPREPLY < <(compgen -f -- "$cur"; compgen -W "$ids" -- "$cur")
  compopt -o filenames 2>/dev/null
}
complete -F _snapsave_cli snapsave-cli
