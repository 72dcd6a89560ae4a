#!/usr/bin/env bash
# Builds the packages, each in a build directory of its own, and puts them in OUT_DIR:
#   deb: ralvex-service-tool_<version>_amd64.deb (build-package-deb/, Debian's hardening flags
#        from dpkg-buildflags)
#   zip: ralvex-service-tool-<version>-win64.zip (build-package-win/, mingw-w64)
# Usage: scripts/package.sh [OUT_DIR [deb] [zip]]   (default: out, both)
# Needs cmake, ninja-build, g++, scdoc, gzip, file and dpkg-dev for the .deb;
# g++-mingw-w64-x86-64-posix, scdoc and groff for the zip. The build directories are kept, so
# a second run only rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-out}"
shift || true
kinds="${*:-deb zip}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

for tool in cmake ninja scdoc; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing" >&2; exit 1; }
done
# Dates in the manual pages and the changelog: the last commit's, so that a rebuild of the same
# commit gives the same files.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse --git-dir >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH="$(git log -1 --format=%ct)"
  export SOURCE_DATE_EPOCH
fi

for kind in $kinds; do
  case "$kind" in
    deb)
      for tool in dpkg-buildflags dpkg-shlibdeps file; do
        command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing" >&2; exit 1; }
      done
      dir=build-package-deb
      # Debian's flags with every hardening feature (fortified functions, full RELRO, bind now).
      export DEB_BUILD_MAINT_OPTIONS=hardening=+all
      # CMake reads CXXFLAGS and LDFLAGS (at the first configuration) but not CPPFLAGS.
      CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
      LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
        cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRALVEX_TESTS=OFF \
        >/dev/null
      ;;
    zip)
      dir=build-package-win
      cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRALVEX_TESTS=OFF >/dev/null
      ;;
    *)
      echo "package.sh: unknown package kind '$kind' (deb, zip)" >&2
      exit 2
      ;;
  esac
  cmake --build "$dir" -j"${JOBS:-2}"
  (cd "$dir" && cpack -B "$out" >/dev/null)
done
rm -rf "$out/_CPack_Packages"
ls -l "$out"
