#!/usr/bin/env bash
# The layering as built: the console dial loads no Qt Widgets or Gui, the
# connection library's link closure holds neither, no file of the connection
# core includes a widget header or a higher folder, and the folder order and
# the README's layering line agree with the link graph.
#   layering.sh SOURCE_DIR LINK_GRAPH DIAL_TOOL QT_INCLUDE_DIRS(;-separated)
set -uo pipefail
src=$1 graph=$2 tool=$3 qtdirs=$4
fail=0
bad() { echo "FAIL: $*"; fail=1; }

# 1. What the console tool needs at run time.
needed=$(readelf -d "$tool" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ -n "$needed" ] || bad "no NEEDED entries read from $tool"
for lib in $needed; do
  case $lib in libQt6Widgets*|libQt6Gui*) bad "skyportal-dial needs $lib" ;; esac
done

# 2. The link graph: folder, library, what it links.
declare -A folderOf deps index
i=0
while read -r folder lib rest; do
  [ -n "$folder" ] || continue
  folderOf[$lib]=$folder
  deps[$lib]=$rest
  index[$folder]=$i
  i=$((i + 1))
done <"$graph"
[ "$i" -gt 10 ] || bad "link graph $graph has only $i folders"

for lib in "${!deps[@]}"; do
  for d in ${deps[$lib]}; do
    f=${folderOf[$d]:-}
    [ -n "$f" ] || continue
    [ "${index[$f]}" -lt "${index[${folderOf[$lib]}]}" ] ||
      bad "$lib (${folderOf[$lib]}) links $d ($f), which the folder order puts above it"
  done
done

# Everything sp_connection brings along.
declare -A seen
walk() {
  local l=$1 d
  [ -z "${seen[$l]:-}" ] || return
  seen[$l]=1
  for d in ${deps[$l]:-}; do walk "$d"; done
}
walk sp_connection
for l in "${!seen[@]}"; do
  case $l in Qt6::Widgets|Qt6::Gui|Qt6::OpenGL*) bad "sp_connection links $l" ;; esac
done

# 3. The README's line: groups separated by "←", lower first.
line=$(grep -m1 '^platform ←' "$src/README.md")
[ -n "$line" ] || bad "README.md has no layering line starting with 'platform ←'"
declare -A group
g=0
IFS='←' read -ra parts <<<"${line%.}"
for part in "${parts[@]}"; do
  [ -n "${part// /}" ] || continue
  IFS=',' read -ra names <<<"$part"
  for n in "${names[@]}"; do
    n=$(echo "$n" | xargs)
    group[$n]=$g
  done
  g=$((g + 1))
done
groupOf() { local f=$1; [[ $f == platform/* ]] && f=platform; echo "${group[$f]:-}"; }
for f in "${!index[@]}"; do
  [ -n "$(groupOf "$f")" ] || bad "README's layering line does not place $f"
done
for lib in "${!deps[@]}"; do
  own=$(groupOf "${folderOf[$lib]}")
  [ -n "$own" ] || continue
  for d in ${deps[$lib]}; do
    f=${folderOf[$d]:-}
    [ -n "$f" ] || continue
    other=$(groupOf "$f")
    [ -n "$other" ] || continue
    if [ "$other" -ge "$own" ] && ! [[ ${folderOf[$lib]} == platform/* && $f == platform/* ]]; then
      bad "README's line puts ${folderOf[$lib]} no higher than $f, which it links"
    fi
  done
done

# 4. Includes of the connection core (everything but connection/ui).
widgetDirs=()
IFS=';' read -ra dirs <<<"$qtdirs"
for d in "${dirs[@]}"; do
  case $d in */QtWidgets|*/QtGui) [[ " ${widgetDirs[*]} " == *" $d "* ]] || widgetDirs+=("$d") ;; esac
done
[ "${#widgetDirs[@]}" -eq 2 ] || bad "QtWidgets and QtGui include folders not found in $qtdirs"
while IFS= read -r file; do
  while IFS= read -r inc; do
    name=$(echo "$inc" | sed -E 's/^#[[:space:]]*include[[:space:]]*[<"]([^>"]+)[>"].*/\1/')
    case $name in
      dialogs/*|controls/*|resources/*|history/*|app/*|connection/ui/*|QtWidgets/*|QtGui/*)
        bad "${file#$src/} includes $name" ;;
    esac
    for d in "${widgetDirs[@]}"; do
      [ -e "$d/$name" ] && bad "${file#$src/} includes $name, a header of ${d##*/}"
    done
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$file")
done < <(find "$src/src/connection" -path "$src/src/connection/ui" -prune -o -type f \( -name '*.h' -o -name '*.cpp' \) -print)

[ "$fail" -eq 0 ] && echo "layering holds: $i folders, sp_connection without widgets"
exit "$fail"
