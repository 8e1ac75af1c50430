#!/usr/bin/env bash
# Builds the Debian package from a build folder's programs, unpacks it into a
# scratch root and checks what it would install: the programs with their man
# pages, the desktop entry and its icon, the help file, the copyright file and
# the changelog, the udev rule for the USB cable, and dependencies that name
# the Qt 6 libraries.
#
#   packaging/test-package.sh BUILD_DIR PROGRAM...
#
# Exits 77 (skipped) where the Debian package tools are missing.
set -euo pipefail
export LC_ALL=C

if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR PROGRAM..." >&2
  exit 2
fi
build=$(cd "$1" && pwd)
shift
programs=("$@")
cpack=${CPACK:-cpack}

for tool in dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev; do
  if ! command -v "${tool%%:*}" >/dev/null; then
    echo "SKIP: ${tool%%:*} is missing (Debian package ${tool#*:}; scripts/ensure-deps.sh installs it)."
    exit 77
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The package goes to the scratch folder, not the build folder, so that a
# run never leaves a stale package behind.
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack could not build the package"
  exit 1
fi
mapfile -t debs < <(find "$work/out" -maxdepth 1 -name '*.deb')
if [ ${#debs[@]} -ne 1 ]; then
  cat "$work/cpack.log"
  echo "FAIL: expected one package, found ${#debs[@]}"
  exit 1
fi
deb=${debs[0]}
echo "Package: $(basename "$deb")"

root=$work/root
dpkg-deb -x "$deb" "$root"
(cd "$root" && find . ! -type d | sed 's|^\./|/|' | LC_ALL=C sort) >"$work/files"
sed 's/^/  /' "$work/files"

# --- control fields ---------------------------------------------------------
name=$(dpkg-deb -f "$deb" Package)
[ "$name" = mirto-terminal ] || fail "package name is '$name'"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# Later releases add t64 to the names of these libraries.
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6serialport6; do
  grep -Eq "(^|[ ,])$lib(t64)?( |,|\(|$)" <<<"$depends" || fail "Depends does not name $lib"
done

# --- programs and man pages -------------------------------------------------
for program in "${programs[@]}"; do
  [ -x "$root/usr/bin/$program" ] || fail "program /usr/bin/$program missing"
  [ -f "$root/usr/share/man/man1/$program.1.gz" ] || fail "man page for $program missing"
done
# Every program installed has a page, also one not in the list given.
for path in "$root"/usr/bin/*; do
  program=$(basename "$path")
  [ -f "$root/usr/share/man/man1/$program.1.gz" ] || fail "program $program has no man page"
done
if command -v groff >/dev/null; then
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(zcat "$page" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1 || true)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES "EXIT STATUS"; do
      zcat "$page" | grep -Eq "^\.SH \"?$section\"?\$" || fail "$(basename "$page") has no $section section"
    done
  done
else
  echo "note: groff is missing; man pages not checked for mistakes"
fi

# --- help file, desktop entry, icon ---------------------------------------
[ -f "$root/usr/share/mirto-terminal/MirtoHelp.hlp" ] || fail "help file missing"
desktop=$root/usr/share/applications/mirto-terminal.desktop
if [ -f "$desktop" ]; then
  if command -v desktop-file-validate >/dev/null; then
    # Hints are advice; errors and warnings are not.
    report=$(desktop-file-validate "$desktop" 2>&1 | grep -v ': hint: ' || true)
    [ -z "$report" ] || fail "desktop entry: $report"
  else
    echo "note: desktop-file-validate is missing (package desktop-file-utils); desktop entry not validated"
  fi
  exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
  [ -x "$root/usr/bin/$exec_program" ] || fail "desktop entry starts '$exec_program', which the package lacks"
  # The menu starts programs in the home folder; the settings go to the
  # user's configuration folder instead.
  grep -q '^Exec=mirto-terminal --config-folder$' "$desktop" \
    || fail "desktop entry does not start the tool in its configuration folder"
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  compgen -G "$root/usr/share/icons/hicolor/*/apps/$icon.*" >/dev/null \
    || fail "desktop entry's icon '$icon' missing"
else
  fail "desktop entry missing"
fi
[ -f "$root/usr/share/icons/hicolor/scalable/apps/mirto-terminal.svg" ] || fail "icon missing"

# --- copyright and changelog ---------------------------------------------
doc=$root/usr/share/doc/mirto-terminal
if [ -f "$doc/copyright" ]; then
  for field in Format: Files: Copyright: License:; do
    grep -q "^$field" "$doc/copyright" || fail "copyright file has no $field field"
  done
else
  fail "copyright file /usr/share/doc/mirto-terminal/copyright missing"
fi
if [ -f "$doc/changelog.gz" ]; then
  if ! gzip -t "$doc/changelog.gz" 2>/dev/null; then
    fail "changelog.gz is not gzip"
  else
    # The newest entry is the package's version: a release that forgot its
    # entry would ship the previous one's notes as its own.
    top=$(zcat "$doc/changelog.gz" | sed -n '1s/^mirto-terminal (\([^)]*\)).*/\1/p')
    version=$(dpkg-deb -f "$deb" Version)
    [ "$top" = "$version" ] || fail "changelog's newest entry is '$top', the package is '$version'"
    if command -v dpkg-parsechangelog >/dev/null; then
      zcat "$doc/changelog.gz" >"$work/changelog"
      out=$(dpkg-parsechangelog -l "$work/changelog" -S Version 2>&1) && [ "$out" = "$version" ] \
        || fail "dpkg-parsechangelog: $out"
    fi
  fi
else
  fail "changelog /usr/share/doc/mirto-terminal/changelog.gz missing"
fi

# --- mirto-cli's JSON Schema and the job engines' examples ------------------
schema=$doc/mirto-cli.schema.json
if [ -f "$schema" ]; then
  if command -v python3 >/dev/null; then
    out=$(python3 -c 'import json, sys
s = json.load(open(sys.argv[1]))
print(s["$defs"]["schema"]["const"])' "$schema" 2>&1) || fail "mirto-cli.schema.json is not JSON: $out"
    # The number mirto-cli prints (its plan opens no port) is the one the file describes.
    printed=$("$root/usr/bin/mirto-cli" --plan --json --host 127.0.0.1:1 identify 2>&1 \
      | python3 -c 'import json, sys; print(json.loads(sys.stdin.readline())["schema"])' 2>&1)
    [ "$out" = "$printed" ] || fail "mirto-cli.schema.json describes schema '$out', mirto-cli prints '$printed'"
  fi
else
  fail "JSON Schema /usr/share/doc/mirto-terminal/mirto-cli.schema.json missing"
fi
for example in gitlab-ci.yml Jenkinsfile ansible/bench.yml; do
  [ -f "$doc/examples/$example" ] || fail "example /usr/share/doc/mirto-terminal/examples/$example missing"
done

# --- udev rule --------------------------------------------------------------
# A syntax check for a udev without 'udevadm verify' (Debian 12's): every
# rule is a comma-separated list of KEY[{attr}] OP "value" with a key that
# udev knows, used with an operator it allows (a match key never assigns,
# an assignment key never matches), and every GOTO has its LABEL.
check_rule_syntax() {
  local file=$1 line number=0 rest key attr op errors=0
  local match_only=" ACTION DEVPATH KERNEL KERNELS SUBSYSTEM SUBSYSTEMS DRIVER DRIVERS ATTRS TAGS TEST RESULT CONST "
  local assign_only=" OWNER GROUP MODE SECLABEL RUN LABEL GOTO OPTIONS "
  local either=" NAME SYMLINK ATTR SYSCTL ENV TAG IMPORT PROGRAM "
  local need_attr=" ATTR ATTRS SYSCTL ENV IMPORT SECLABEL CONST "
  local labels=" " gotos=()
  local pair='^[[:space:]]*([A-Z_]+)(\{([^}]*)\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*"(([^"\\]|\\.)*)"[[:space:]]*(,|$)'
  while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    while [[ $line == *\\ ]] && IFS= read -r more; do
      number=$((number + 1))
      line="${line%\\}$more"
    done
    [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
    rest=$line
    while [ -n "${rest//[[:space:]]/}" ]; do
      if ! [[ $rest =~ $pair ]]; then
        echo "$file:$number: cannot read '$rest'"
        errors=$((errors + 1))
        break
      fi
      key=${BASH_REMATCH[1]}
      attr=${BASH_REMATCH[3]}
      op=${BASH_REMATCH[4]}
      rest=${rest:${#BASH_REMATCH[0]}}
      if [[ $match_only$assign_only$either != *" $key "* ]]; then
        echo "$file:$number: unknown key $key"
        errors=$((errors + 1))
      elif [[ $match_only == *" $key "* && $op != "==" && $op != "!=" ]]; then
        echo "$file:$number: $key is a match key, but '$op' assigns"
        errors=$((errors + 1))
      elif [[ $assign_only == *" $key "* && ($op == "==" || $op == "!=") ]]; then
        echo "$file:$number: $key is an assignment key, but '$op' compares"
        errors=$((errors + 1))
      fi
      if [[ $need_attr == *" $key "* && -z $attr ]]; then
        echo "$file:$number: $key needs a {name}"
        errors=$((errors + 1))
      fi
      [ "$key" = LABEL ] && labels+="${BASH_REMATCH[5]} "
      [ "$key" = GOTO ] && gotos+=("$number:${BASH_REMATCH[5]}")
    done
  done <"$file"
  local g
  for g in "${gotos[@]}"; do
    if [[ $labels != *" ${g#*:} "* ]]; then
      echo "$file:${g%%:*}: GOTO to a missing LABEL '${g#*:}'"
      errors=$((errors + 1))
    fi
  done
  return $((errors > 0))
}

rule=
for dir in lib/udev/rules.d usr/lib/udev/rules.d; do
  [ -f "$root/$dir/70-mirto-usb.rules" ] && rule=$root/$dir/70-mirto-usb.rules
done
if [ -n "$rule" ]; then
  # uaccess takes effect in 73-seat-late.rules: the rule must come first.
  [[ $(basename "$rule") < 73-seat-late.rules ]] || fail "udev rule sorts after 73-seat-late.rules"
  for wanted in 'ATTRS{idVendor}=="10c4"' 'ATTRS{idProduct}=="ea60"' 'TAG+="uaccess"' \
                'ENV{ID_MM_DEVICE_IGNORE}="1"'; do
    grep -v '^[[:space:]]*#' "$rule" | grep -qF "$wanted" || fail "udev rule lacks $wanted"
  done
  if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
    out=$(udevadm verify "$rule" 2>&1) || fail "udevadm verify: $out"
  else
    out=$(check_rule_syntax "$rule") || fail "udev rule: $out"
  fi
else
  fail "udev rule 70-mirto-usb.rules missing"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "Package checks passed"
