# Fetches the original tarball of a Debian source package of this release
# into a folder, pinned by version and checked by SHA-256.
# fetch_debian_source PACKAGE DEBIAN_VERSION TARBALL SHA256
fetch_debian_source() {
  local package=$1 debian_version=$2 tarball=$3 sha256=$4
  if [ -f "$tarball" ] && echo "$sha256  $tarball" | sha256sum -c --quiet 2>/dev/null; then
    return 0
  fi
  local list=/etc/apt/sources.list.d/upkeep-bookworm-src.sources
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' >"$list"
    apt-get update -qq
  fi
  local dir
  dir=$(dirname "$tarball")
  mkdir -p "$dir"
  (cd "$dir" && apt-get source -qq --download-only "$package=$debian_version" >/dev/null 2>&1) || {
    apt-get update -qq
    (cd "$dir" && apt-get source -qq --download-only "$package=$debian_version" >/dev/null)
  }
  echo "$sha256  $tarball" | sha256sum -c --quiet
}
