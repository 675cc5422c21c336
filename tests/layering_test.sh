#!/usr/bin/env bash
# Each source folder includes only from itself and the folders it stands on,
# and the format's folder does no I/O. Usage: layering_test.sh SOURCE_DIR
set -u
cd "$1" || exit 2
declare -A below=(
  [format]=""
  [text]=""
  [files]="format"
  [decode]="format files"
  [input]="format text files decode"
  [output]="format text files decode input"
  [elfscan]="format text files"
  [lib]="format files decode"
  [convert]="format text files decode input output elfscan"
  [report]="format text files decode input elfscan lib"
  [cli]="format text convert report"
  [kotarfs]="format files lib"
)
status=0
for folder in "${!below[@]}"; do
  [ -d "$folder" ] || continue
  allowed=" $folder ${below[$folder]} kotar "
  while IFS=: read -r file _ include; do
    target=${include#*\"}; target=${target%%/*}
    case "$allowed" in *" $target "*) ;; *) echo "$file includes upward: $include"; status=1 ;; esac
  done < <(grep -Hn '^#include "' "$folder"/*.h "$folder"/*.cpp 2>/dev/null)
done
if grep -Hn '^#include <\(unistd\|fcntl\|sys/stat\|sys/mman\)\.h>' format/* ; then
  echo "the format's folder does I/O"; status=1
fi
exit $status
