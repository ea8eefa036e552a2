#!/usr/bin/env bash
# test_packages.sh BUILD_DIR WORK_DIR VERSION: makes the Debian packages of
# BUILD_DIR with CPack in WORK_DIR, extracts them, checks what each holds and
# depends on, that the programs start from the extracted tree without
# LD_LIBRARY_PATH, and that lintian reports no errors.
set -uo pipefail
build=$1 work=$2 version=$3
major=${version%%.*}
rm -rf "$work" && mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) \
  || { tail -40 "$work/cpack.log"; fail "cpack failed"; }
deb() { ls "$work"/"$1"_"$version"_*.deb 2>/dev/null | head -1; }
files() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
depends() { dpkg-deb -f "$1" Depends; }
has_file() { grep -qE "$2" <<<"$(files "$1")" || fail "$(basename "$1") lacks $2"; }
lacks_file() { ! grep -qE "$2" <<<"$(files "$1")" || fail "$(basename "$1") holds $2"; }
depends_on() { grep -qE "(^|, )$2" <<<"$(depends "$1")" || fail "$(basename "$1") does not depend on $2: $(depends "$1")"; }
relation() { grep -qE "(^|, )$3($| |,)" <<<"$(dpkg-deb -f "$1" "$2")" || fail "$(basename "$1"): $2 lacks $3: $(dpkg-deb -f "$1" "$2")"; }
script_runs() { grep -qE "$3" <<<"$(dpkg-deb -I "$1" "$2" 2>/dev/null)" || fail "$(basename "$1"): $2 does not run $3"; }

runtime=$(deb libcorvo$major) dev=$(deb libcorvo-dev) programs=$(deb corvo) history=$(deb libcorvo-history$major)
for p in "$runtime" "$dev" "$programs" "$history"; do [ -n "$p" ] || fail "missing package: $(ls "$work")"; done

# The runtime library: the SONAME link and the library, nothing for
# development; its dependencies found by dpkg-shlibdeps; a shlibs file.
has_file "$runtime" "/libcorvo\.so\.$major$"
has_file "$runtime" "/libcorvo\.so\.$version$"
lacks_file "$runtime" "/libcorvo\.so$|/include/"
for lib in libzmq5 libczmq4 libprotobuf libuv1 libspdlog libfmt libboost-program-options libcfitsio libc6; do
  depends_on "$runtime" "$lib"
done
dpkg-deb -I "$runtime" shlibs | grep -q "libcorvo $major libcorvo$major" || fail "no shlibs entry"

# Development files: headers (generated ones too), the link, the CMake
# package and the pkg-config file; the matching runtime and the -dev
# packages the headers include.
for f in "/include/corvo/daemon\.h$" "/include/corvo/export\.h$" "/include/corvo/version\.h$" \
         "/include/corvo/proto/property\.pb\.h$" "/libcorvo\.so$" "/cmake/corvo/corvoConfig\.cmake$" \
         "/pkgconfig/corvo\.pc$"; do
  has_file "$dev" "$f"
done
depends_on "$dev" "libcorvo$major \(= $version\)"
for lib in libzmq3-dev libczmq-dev libprotobuf-dev libspdlog-dev libcfitsio-dev; do depends_on "$dev" "$lib"; done

# The programs and the service unit.
for f in "/bin/corvo$" "/bin/corvo-simcam$" "/bin/corvo-rendezvous$" "/systemd/system/corvo@\.service$"; do has_file "$programs" "$f"; done
depends_on "$programs" "libcorvo$major \(= $version\)"
lacks_file "$programs" "/libcorvo\.so"

# Optional parts, when this build has them.
archiver=$(deb corvo-archiver)
if [ -n "$archiver" ]; then
  has_file "$archiver" "/bin/corvo-archiver$"
  depends_on "$archiver" "libcorvo$major"
fi
# The history library: its runtime package named after the SONAME, its
# headers, link and pkg-config file in the development package; both take
# the place of libcorvo-history, which held all of it.
has_file "$history" "/libcorvo_history\.so\.$major$"
lacks_file "$history" "/libcorvo_history\.so$|/include/"
depends_on "$history" "libsqlite3"
depends_on "$history" "libpq5"
for f in "/include/corvo/history/store\.h$" "/libcorvo_history\.so$" "/pkgconfig/corvo-history\.pc$"; do
  has_file "$dev" "$f"
done
depends_on "$dev" "libcorvo-history$major \(= $version\)"
relation "$history" Conflicts libcorvo-history
relation "$history" Replaces libcorvo-history
relation "$dev" Breaks libcorvo-history
relation "$dev" Replaces libcorvo-history
# The programs are linked with it, and dpkg-shlibdeps cannot know it.
depends_on "$programs" "libcorvo-history$major \(= $version\)"
[ -z "$archiver" ] || depends_on "$archiver" "libcorvo-history$major \(= $version\)"

# The compiled Python modules are built for one minor version of Python:
# the package depends on that one only, so that a newer default python3
# does not leave it installed and unable to load them.
python=$(deb python3-corvo)
if [ -n "$python" ]; then
  abi=$(files "$python" | sed -nE 's|.*\.cpython-([0-9])([0-9]+)-[^/]*\.so$|\1 \2|p' | sort -u)
  [ "$(wc -l <<<"$abi")" = 1 ] && [ -n "$abi" ] || fail "python3-corvo: compiled modules for: ${abi:-none}"
  read -r py_major py_minor <<<"$abi"
  depends_on "$python" "python3 \(>= $py_major\.$py_minor~\)"
  depends_on "$python" "python3 \(<< $py_major\.$((py_minor + 1))\)"
fi

# Python modules: byte-compiled at install and their cache removed before
# removal, so that removing or purging leaves no __pycache__ behind.
for name in python3-corvo corvo-web; do
  package=$(deb $name)
  [ -n "$package" ] || continue
  script_runs "$package" postinst "^[[:space:]]*py3compile -p $name"
  script_runs "$package" prerm "^[[:space:]]*py3clean -p $name"
done

# Every package of the build in one tree: the programs find the library
# through their run path.
mkdir "$work/root"
for p in "$work"/*.deb; do dpkg-deb -x "$p" "$work/root"; done
out=$(env -u LD_LIBRARY_PATH "$work/root/usr/bin/corvo" --version) || fail "corvo does not start: $out"
[ "$out" = "corvo v$version" ] || fail "corvo --version: $out"
# The CMake package has the history library's target.
targets=$(find "$work/root" -path "*/cmake/corvo/corvoTargets.cmake")
[ -n "$targets" ] && grep -q "add_library(corvo::history SHARED IMPORTED)" $targets \
  || fail "the CMake package has no target corvo::history"

if command -v lintian >/dev/null; then
  # lintian keeps its scratch files in TMPDIR: here, not in /tmp.
  mkdir -p "$work/tmp"
  if ! TMPDIR="$work/tmp" lintian --fail-on error --suppress-tags binary-without-manpage "$work"/*.deb >"$work/lintian.log" 2>&1; then
    cat "$work/lintian.log"
    fail "lintian reports errors"
  fi
else
  echo "lintian not installed: not run"
fi
echo "packages: $(cd "$work" && ls *.deb | tr '\n' ' ')"
