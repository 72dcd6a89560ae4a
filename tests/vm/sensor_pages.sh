# Sourced by end_to_end.sh and controllers.sh: what a sensor flash's console says about the pages a
# node refused, against what the node's flash holds. A sensor image is sent in 900-byte pages from
# 0x20000; with -b the tool takes a page the node answered with a non-zero status, but names it
# ("Page 0x20384 was answered with status 01 00 00 00: ... taken as written because of -b") and
# warns before "Flashing completed".

# page_address K: the first image address of the Kth page (from 1), in hex as the console gives it.
page_address() { printf '%X\n' $((0x20000 + ($1 - 1) * 900)); }

# named_pages CONSOLE: the pages CONSOLE names as taken under -b, one first address a line (hex).
named_pages() {
  sed -n 's/^Page 0x\([0-9A-F]*\) was answered with status .*: the node may not have written it; taken as written because of -b$/\1/p' \
    "$1" | sort -u
}

# differing_pages ACTUAL EXPECTED: the pages where the node flash dumps differ, one first address a
# line (hex); "outside" for a difference below the image, "size" when the dumps differ in size.
differing_pages() {
  if [ "$(wc -c <"$1")" -ne "$(wc -c <"$2")" ]; then
    echo size
    return
  fi
  cmp -l "$1" "$2" | awk '{
    offset = $1 - 1
    if (offset < 131072) print "outside"
    else printf "%X\n", 131072 + int((offset - 131072) / 900) * 900
  }' | sort -u
}

# warned CONSOLE: CONSOLE holds the warning that counts its named pages, before "Flashing completed".
warned() {
  local count text
  count="$(named_pages "$1" | wc -l)"
  if [ "$count" -eq 1 ]; then text="Warning: 1 page was answered"; else
    text="Warning: $count pages were answered"; fi
  text="$text with a non-zero status: check the sensor, or flash it again without -b"
  awk -v warning="$text" '
    $0 == warning { warned = NR }
    $0 == "Flashing completed" && !completed { completed = NR }
    END { exit !(warned && completed && warned < completed) }' "$1"
}

# forced_account CONSOLE ACTUAL EXPECTED: how a -b flash that ended with exit status 0 accounts for
# the node's flash. Prints one word:
#   same       the flash is as expected, and the console names no page
#   named      the flash differs exactly at the pages the console names, and the warning counting
#              them precedes "Flashing completed": the run said which pages the node refused
#   overstated the flash is as expected or differs at fewer pages than the console names
#   wrong      anything else: a page differs that the console does not name (a success with wrong
#              bytes), or the warning is missing or comes late
forced_account() {
  local console="$1" actual="$2" expected="$3" named differing page
  named="$(named_pages "$console")"
  if cmp -s "$actual" "$expected"; then
    if [ -z "$named" ]; then echo same; else echo overstated; fi
    return
  fi
  differing="$(differing_pages "$actual" "$expected")"
  for page in $differing; do
    if ! printf '%s\n' "$named" | grep -qxF "$page"; then
      echo wrong
      return
    fi
  done
  if ! warned "$console"; then
    echo wrong
  elif [ "$differing" = "$named" ]; then
    echo named
  else
    echo overstated
  fi
}
