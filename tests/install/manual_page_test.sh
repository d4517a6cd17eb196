#!/usr/bin/env bash
# The manual page formats without a single groff warning, fits an 80-column
# terminal, and documents every message the tool can print.
# Usage: manual_page_test.sh PAGE SOURCE_DIR
set -euo pipefail
page=$1
source_dir=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warnings:"$'\n'"$warnings"

rendered=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
wide_lines=$(awk 'length > 80' <<<"$rendered")
[ -z "$wide_lines" ] || fail "lines wider than 80 columns:"$'\n'"$wide_lines"

# The rendered page as one line with single blanks, so that a message broken
# across two output lines is still found.
flat=$(tr -s ' \n' '  ' <<<"$rendered")

# Every console text of the tool: the literal strings of the sources that end
# in a full stop or a line feed (names with a % conversion are not messages).
mapfile -t messages < <(grep -ohE '"[A-Za-z][^"%\\]*(\.|\\n)"' \
  "$source_dir"/reader/*.cc "$source_dir"/reader/*.h "$source_dir"/convert/*.cc "$source_dir"/convert/*.h |
  sed -e 's/^"//' -e 's/"$//' -e 's/\\n$//' | sort -u)
[ "${#messages[@]}" -ge 30 ] || fail "only ${#messages[@]} messages found in $source_dir"

for message in "${messages[@]}"; do
  grep -qF -- "$message" <<<"$flat" || fail "message not documented: $message"
done

[ "$failures" -eq 0 ] || exit 1
echo "manual page clean; ${#messages[@]} messages documented"
