# Shared by scripts/demo and scripts/test; sourced, not run.

# The repository's root, whatever the current folder.
BRANDINST_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs the build's needs with apt-get, only those that are missing.
brandinst_ensure_build_tools() {
  local missing=()
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
  command -v g++ >/dev/null 2>&1 || missing+=(g++)
  local package
  for package in libgtest-dev libbenchmark-dev; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  if ((${#missing[@]} == 0)); then
    return 0
  fi

  local sudo=()
  if ((EUID != 0)); then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "brandinst: missing ${missing[*]}; install them as root (apt-get install ${missing[*]})" >&2
      return 1
    fi
    sudo=(sudo)
  fi
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "brandinst: missing ${missing[*]}, and apt-get is not here to install them" >&2
    return 1
  fi
  echo "brandinst: installing ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
}
