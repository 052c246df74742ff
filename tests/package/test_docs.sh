#!/usr/bin/env bash
# The documents that ship with Pixsalvo 3 agree with the programs and with themselves:
#   - docs/px3.1 formats without a single warning;
#   - the commands and long options of docs/px3.1 are exactly those of px3's --help, and
#     each command's synopsis names the options of that command's --help;
#   - packaging/px3.bash-completion completes commands, options, file types, brands and
#     drive letters as px3 takes them;
#   - docs/help/PX3Help.html is balanced HTML whose local pictures and in-page links exist.
#
#   tests/package/test_docs.sh PX3 SOURCE_DIR
#
# Needs bash, man (man-db), groff (groff-base) and python3; uses bash-completion's
# bash_completion when it is installed, as an interactive shell would.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 PX3 SOURCE_DIR" >&2
    exit 2
fi
PX3=$(realpath "$1")
SRC=$(realpath "$2")
MAN_PAGE=$SRC/docs/px3.1
COMPLETION=$SRC/packaging/px3.bash-completion
MANUAL=$SRC/docs/help/PX3Help.html

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $1"; }
fail() { failed=$((failed + 1)); echo "FAIL: $1" >&2; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
# px3 writes its log and settings under the home folder: a home of the test's own.
export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/home/.config
mkdir -p "$HOME"
unset PX3_CARDS

for tool in man groff python3; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "FAIL: $tool is not installed (scripts/install-deps installs it)" >&2
        echo "test_docs: 0 passed, 1 failed"
        exit 1
    fi
done
for file in "$PX3" "$MAN_PAGE" "$COMPLETION" "$MANUAL"; do
    if [ ! -e "$file" ]; then
        echo "FAIL: $file is missing" >&2
        echo "test_docs: 0 passed, 1 failed"
        exit 1
    fi
done

# ---- 1. The man page formats without warnings -------------------------------------------

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$MAN_PAGE" 2>&1 >/dev/null)
if [ -z "$warnings" ]; then
    pass "man --warnings -l docs/px3.1 prints no warning"
else
    fail "man --warnings -l docs/px3.1 warns:"$'\n'"$warnings"
fi
warnings=$(groff -ww -z -man "$MAN_PAGE" 2>&1)
if [ -z "$warnings" ]; then
    pass "groff -ww -man docs/px3.1 prints no warning"
else
    fail "groff -ww -z -man docs/px3.1 warns:"$'\n'"$warnings"
fi
rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$MAN_PAGE" 2>/dev/null | col -b)
missing=""
for section in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS "CARD OPTIONS" "EXIT STATUS" ENVIRONMENT FILES EXAMPLES "SEE ALSO"; do
    grep -qx "$section" <<<"$rendered" || missing+=" '$section'"
done
if [ -z "$missing" ]; then
    pass "the man page has its sections"
else
    fail "the man page has no section$missing"
fi

# ---- 2. The man page and px3 --help say the same things ---------------------------------

if ! "$PX3" --help >"$WORK/help-px3.txt" 2>"$WORK/help-px3.err"; then
    fail "px3 --help exits non-zero: $(cat "$WORK/help-px3.err")"
fi
commands=$(awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { on = 0 }' "$WORK/help-px3.txt")
if [ -z "$commands" ]; then
    fail "px3 --help lists no commands"
fi
for command in $commands; do
    if ! "$PX3" "$command" --help >"$WORK/help-$command.txt" 2>"$WORK/help-$command.err"; then
        fail "px3 $command --help exits non-zero: $(cat "$WORK/help-$command.err")"
    fi
done

# shellcheck disable=SC2086  # one argument per command
if python3 - "$MAN_PAGE" "$WORK" $commands <<'PY'
import re
import sys

man_path, work, commands = sys.argv[1], sys.argv[2], sys.argv[3:]
source = open(man_path, encoding="utf-8").read()
failures = []


def section(name):
    match = re.search(r"^\.SH \"?%s\"?\n(.*?)(?=^\.SH )" % re.escape(name), source, re.S | re.M)
    return match.group(1) if match else ""


def troff_text(text):
    # \- is a hyphen, \& and \f. fonts are nothing for the words compared here.
    text = re.sub(r"\\f[A-Z]|\\f\(..|\\&", "", text)
    return text.replace("\\-", "-").replace("\\ ", " ")


def long_options(text):
    return set(re.findall(r"(?<![\w-])--[a-z][a-z0-9]*(?:-[a-z0-9]+)*", text))


def help_text(name):
    return open("%s/help-%s.txt" % (work, name), encoding="utf-8").read()


def help_options(text):
    # Only the Options: block: the option names at the start of its lines.
    block = re.search(r"^Options:\n(.*?)(?:\n\n|\Z)", text, re.S | re.M)
    names = set()
    for line in (block.group(1).splitlines() if block else []):
        head = line.strip().split(" ")[0]
        names.update(n for n in head.split(",") if n.startswith("-"))
    return names


# The commands: the tags of the COMMANDS section against px3 --help.
man_commands = set()
lines = section("COMMANDS").splitlines()
for i, line in enumerate(lines):
    if line == ".TP" and i + 1 < len(lines):
        tag = troff_text(lines[i + 1])
        tag = re.sub(r"^\.(B|BI|BR|I|IR|IB)\s+", "", tag).strip('"')
        man_commands.add(tag.split()[0])
for name in commands:
    if name not in man_commands:
        failures.append("px3 --help lists the command '%s', the man page's COMMANDS does not" % name)
for name in sorted(man_commands - set(commands)):
    failures.append("the man page's COMMANDS lists '%s', px3 --help does not" % name)

# The long options: every one in the man page is in some --help, and the reverse.
help_all = {}
help_all["px3"] = help_options(help_text("px3"))
for name in commands:
    help_all[name] = help_options(help_text(name))
every_help = set().union(*help_all.values())
# Command lines of other programs in the examples (udevadm's options, say) are not px3's.
def px3_only(text):
    out, verbatim = [], False
    for line in text.splitlines():
        if line.startswith(".nf"):
            verbatim = True
        elif line.startswith(".fi"):
            verbatim = False
        elif verbatim and "px3" not in line:
            continue
        out.append(line)
    return "\n".join(out)


man_longs = long_options(troff_text(px3_only(source)))
for option in sorted(man_longs - every_help):
    failures.append("the man page names %s, which no px3 --help lists" % option)
for option in sorted({o for o in every_help if o.startswith("--")} - man_longs):
    failures.append("px3 --help lists %s, which the man page does not name" % option)
# Short options too, in the OPTIONS section.
options_section = troff_text(section("OPTIONS"))
for option in sorted({o for o in every_help if re.fullmatch(r"-[a-z]", o)}):
    if not re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(option), options_section):
        failures.append("px3 --help lists %s, which the man page's OPTIONS does not name" % option)

# Each command's synopsis names exactly the options of its --help (less --help).
synopsis = troff_text(section("SYNOPSIS"))
# One block per synopsis: .SY px3 ... .YS (or lines parted by .br and .PP).
blocks = re.split(r"^\.(?:br|PP|YS)\n|^\.SY\s+(?=px3\b)", synopsis, flags=re.M)
found = {}
for block in blocks:
    words = re.sub(r"^\.[A-Z]+\s*", "", block, flags=re.M).split()
    if len(words) >= 2 and words[0] == "px3" and words[1] in commands:
        found[words[1]] = long_options(block)
for name in commands:
    if name not in found:
        failures.append("the SYNOPSIS has no line for px3 %s" % name)
        continue
    wanted = {o for o in help_all[name] if o.startswith("--")} - {"--help"}
    if found[name] != wanted:
        failures.append("the SYNOPSIS of px3 %s names %s, px3 %s --help lists %s"
                        % (name, sorted(found[name]), name, sorted(wanted)))

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
PY
then
    pass "the man page's commands and options are those of px3 --help"
else
    fail "the man page and px3 --help differ (lines above)"
fi

# ---- 3. The bash completion --------------------------------------------------------------

# The core's own lists, from the messages of px3 settings for a name it does not know.
types=$("$PX3" settings --types nosuchtype 2>&1 | sed -n "s/.*(known: \(.*\)).*/\1/p" | tr -d ',')
brands=$("$PX3" settings --brand nosuchbrand 2>&1 | sed -n "s/.*(known: \(.*\)).*/\1/p")
if [ -z "$types" ] || [ -z "$brands" ]; then
    fail "px3 settings did not name its known file types and brands"
fi
truncate -s 1M "$WORK/card.img"

cat >"$WORK/complete.sh" <<'SH'
# Runs as a fresh bash: bash-completion as an interactive shell loads it, then px3's.
[ -f /usr/share/bash-completion/bash_completion ] && . /usr/share/bash-completion/bash_completion
. "$COMPLETION" || { echo "cannot source $COMPLETION"; exit 1; }
declare -F _px3 >/dev/null || { echo "the completion defines no function _px3"; exit 1; }
complete -p px3 2>/dev/null | grep -q -- '-F _px3' || { echo "px3 is not completed with _px3"; exit 1; }
failures=0
# complete WORD... : the last word is the one being completed; prints the replies sorted.
complete_words() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _px3 px3 "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort -u | tr '\n' ' ' | sed 's/ $//'
}
expect() {
    local want=$1
    shift
    local got
    got=$(complete_words "$@")
    if [ "$got" != "$want" ]; then
        echo "completing '$*<Tab>' gives '$got', expected '$want'"
        failures=$((failures + 1))
    fi
}
sorted() { printf '%s\n' "$@" | sort -u | tr '\n' ' ' | sed 's/ $//'; }

expect "recover" px3 re
expect "--types" px3 recover --ty
expect "--types" px3 recover E --ty
expect "$(sorted cards info eject recover settings test format erase backup)" px3 ""
expect "$(sorted erase eject)" px3 e
expect "jpg,nef" px3 recover E --types jpg,n
expect "jpg,nef" px3 settings --types jpg,n
expect "Nikon" px3 recover E --brand ni
expect "$(sorted Nikon,Canon Nikon,Casio Nikon,Custom)" px3 settings --brand Nikon,c
# A type already in the list is not offered again.
expect "$(sorted jpg,mov,mp3 jpg,mov,mp4)" px3 recover E --types jpg,mov,mp
expect "" px3 recover E --types jpg,mov,mo
# Every file type and brand that px3 knows, and no other.
expect "$(sorted $TYPES all)" px3 recover E --types ""
expect "$(sorted $TYPES all)" px3 recover E --keep ""
expect "$(sorted $BRANDS)" px3 recover E --brand ""
# Each command's options are those of its --help.
for command in "" $COMMANDS; do
    help_file=$WORK/help-${command:-px3}.txt
    options=$(awk '/^Options:/ { on = 1; next } on && /^  -/ { print $1 } on && /^$/ { on = 0 }' "$help_file" | tr ',' ' ')
    if [ -n "$command" ]; then
        expect "$(sorted $options)" px3 "$command" -
    else
        expect "$(sorted $options)" px3 -
    fi
done
# Folders after --work and --save.
mkdir -p "$WORK/folders/alpha" "$WORK/folders/beta"
touch "$WORK/folders/afile"
expect "$WORK/folders/alpha" px3 recover E --work "$WORK/folders/al"
expect "$WORK/folders/beta" px3 settings --save "$WORK/folders/b"
# The drive letters of px3 cards, with the card images of --card (as bash splits at "=").
expect "E" "$PX3" --card "E=$WORK/card.img" info ""
expect "E" "$PX3" --card E = "$WORK/card.img" recover ""
expect "F" "$PX3" --card "F=$WORK/card.img" test f
expect "" "$PX3" --card "E=$WORK/card.img" info E ""
# A px3 that cannot run gives no letters and no noise.
expect "" /nonexistent/px3 info ""
exit $((failures > 0))
SH
export COMPLETION PX3 WORK
if completion_output=$(TYPES=$types BRANDS=$brands COMMANDS=$commands \
    bash --norc --noprofile "$WORK/complete.sh" 2>&1) && [ -z "$completion_output" ]; then
    pass "the bash completion completes commands, options, types, brands, folders and letters"
else
    fail "the bash completion:"$'\n'"$completion_output"
fi

# ---- 4. The manual -----------------------------------------------------------------------

if python3 - "$MANUAL" <<'PY'
import html.parser
import os
import sys
from urllib.parse import unquote, urlparse

path = sys.argv[1]
folder = os.path.dirname(path)
VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}
failures = []


class Manual(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack = []
        self.ids = {}
        self.links = []
        self.pictures = []
        self.title = ""
        self.in_title = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        where = "line %d" % self.getpos()[0]
        if tag not in VOID:
            self.stack.append((tag, where))
        if tag == "title":
            self.in_title = True
        if "id" in attrs:
            if attrs["id"] in self.ids:
                failures.append("%s: the id '%s' is there twice" % (where, attrs["id"]))
            self.ids[attrs["id"]] = where
        if tag == "a" and "href" in attrs:
            self.links.append((attrs["href"], where))
        if tag == "img":
            self.pictures.append((attrs.get("src", ""), where))
            if not attrs.get("alt", "").strip():
                failures.append("%s: a picture without alt text" % where)
        if tag in ("script", "iframe", "object", "embed"):
            failures.append("%s: <%s> has no place in the manual" % (where, tag))
        if tag == "link" and "stylesheet" in attrs.get("rel", ""):
            failures.append("%s: an outside style sheet: the manual keeps its style inline" % where)

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag not in VOID:
            self.stack.pop()

    def handle_endtag(self, tag):
        where = "line %d" % self.getpos()[0]
        if tag in VOID:
            return
        if not self.stack:
            failures.append("%s: </%s> closes nothing" % (where, tag))
            return
        open_tag, opened = self.stack.pop()
        if open_tag != tag:
            failures.append("%s: </%s> closes <%s> of %s" % (where, tag, open_tag, opened))
        if tag == "title":
            self.in_title = False

    def handle_data(self, data):
        if self.in_title:
            self.title += data


text = open(path, encoding="utf-8").read()
if not text.lstrip().lower().startswith("<!doctype html>"):
    failures.append("the manual does not start with <!DOCTYPE html>")
manual = Manual()
manual.feed(text)
manual.close()
for tag, where in manual.stack:
    failures.append("%s: <%s> is never closed" % (where, tag))
if not manual.title.strip():
    failures.append("the manual has no title")
if not manual.pictures:
    failures.append("the manual shows no picture")

for src, where in manual.pictures:
    url = urlparse(src)
    if url.scheme or src.startswith("/") or src.startswith("//"):
        failures.append("%s: the picture %s is not a file beside the manual" % (where, src))
    elif not os.path.isfile(os.path.join(folder, unquote(url.path))):
        failures.append("%s: the picture %s does not exist" % (where, src))
anchors = 0
for href, where in manual.links:
    url = urlparse(href)
    if href.startswith("#"):
        anchors += 1
        if unquote(href[1:]) not in manual.ids:
            failures.append("%s: the link %s leads to no id of the page" % (where, href))
    elif not url.scheme and not href.startswith("//"):
        if not os.path.exists(os.path.join(folder, unquote(url.path))):
            failures.append("%s: the link %s leads to no file" % (where, href))
        if url.fragment:
            failures.append("%s: the link %s: only in-page anchors are checked" % (where, href))
    elif url.scheme in ("http", "https") and not (url.hostname or "").endswith(".example"):
        failures.append("%s: the link %s leaves the example domain" % (where, href))
if anchors == 0:
    failures.append("the manual has no table of contents (no in-page link)")

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
PY
then
    pass "the manual is balanced HTML whose pictures and anchors exist"
else
    fail "the manual (lines above)"
fi

echo "test_docs: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
