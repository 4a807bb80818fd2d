# Sourced by the scripts that take packages from other Debian suites. It finds the system's own
# Debian archive and sets up an apt configuration of their own (sources, lists, state, cache) in
# a folder, so that the system's apt sources, lists and state are never touched.
#
#   uri=$(debian_archive_uri)              # the system's main Debian archive
#   private_apt DIR "deb deb-src" SUITE... # writes DIR/apt.conf and exports APT_CONFIG
#   private_apt_allow_expired              # for snapshot suites whose Release is past Valid-Until

debian_keyring=/usr/share/keyrings/debian-archive-keyring.gpg

# The system's own main Debian archive, as apt itself reads /etc/apt (one-line or deb822 sources
# alike): a plain release suite, not the security, updates or backports one. Its label is known
# once the system's lists are fetched; before that, any plain suite qualifies.
debian_archive_uri() {
  local uri
  _archive() {
    local labelled=1
    [ $# -eq 0 ] || labelled=0
    apt-get indextargets "$@" --format '$(TARGET_OF)|$(IDENTIFIER)|$(LABEL)|$(RELEASE)|$(REPO_URI)' 2> /dev/null |
      awk -F'|' -v labelled=$labelled '$1 == "deb" && $2 == "Packages" && $4 !~ /[-\/]/ &&
                                       (!labelled || $3 == "Debian") { print $5; exit }'
  }
  uri=$(_archive) || true
  [ -n "$uri" ] || uri=$(_archive --no-release-info) || true
  [ -n "$uri" ] || return 1
  echo "$uri"
}

# private_apt DIR TYPES SUITE... : a configuration in DIR whose only sources are SUITE... of the
# system's archive, with the given types ("deb", "deb-src" or both).
private_apt() {
  local dir=$1 types=$2
  shift 2
  local uri
  uri=$(debian_archive_uri) || { echo "no Debian archive among the system's apt sources" >&2; return 1; }
  [ -r "$debian_keyring" ] || { echo "no Debian archive keyring at $debian_keyring" >&2; return 1; }
  mkdir -p "$dir"/{lists/partial,archives/partial,state,parts,sources.list.d,preferences.d}
  [ -e "$dir/status" ] || : > "$dir/status"
  rm -f "$dir"/sources.list.d/*
  cat > "$dir/sources.list.d/private.sources" << EOF2
Types: $types
URIs: $uri
Suites: $*
Components: main
Signed-By: $debian_keyring
EOF2
  # Nothing of the system's apt configuration applies except its proxies, if it sets any.
  local system_http_proxy='' system_https_proxy=''
  eval "$(apt-config shell system_http_proxy Acquire::http::Proxy system_https_proxy Acquire::https::Proxy 2> /dev/null)" || true
  cat > "$dir/apt.conf" << EOF2
Dir::State "$dir/state";
Dir::State::Lists "$dir/lists";
Dir::State::status "$dir/status";
Dir::Cache "$dir";
Dir::Cache::archives "$dir/archives";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
Dir::Etc::main "/dev/null";
Dir::Etc::Parts "$dir/parts";
Dir::Etc::SourceList "/dev/null";
Dir::Etc::SourceParts "$dir/sources.list.d";
Dir::Etc::Preferences "/dev/null";
Dir::Etc::PreferencesParts "$dir/preferences.d";
Dir::Etc::Trusted "$debian_keyring";
Dir::Etc::TrustedParts "$dir/parts";
Dir::Log "$dir/state";
APT::Sandbox::User "root";
APT::Architectures { "$(dpkg --print-architecture)"; };
Acquire::Languages "none";
Acquire::Retries "1";
Acquire::http::Timeout "20";
Acquire::https::Timeout "20";
EOF2
  [ -z "$system_http_proxy" ] || echo "Acquire::http::Proxy \"$system_http_proxy\";" >> "$dir/apt.conf"
  [ -z "$system_https_proxy" ] || echo "Acquire::https::Proxy \"$system_https_proxy\";" >> "$dir/apt.conf"
  export APT_CONFIG="$dir/apt.conf"
}

# The registry is a snapshot: unstable's and experimental's Release files may be past their
# Valid-Until. Only those suites' configurations accept that.
private_apt_allow_expired() {
  echo 'Acquire::Check-Valid-Until "false";' >> "$APT_CONFIG"
}

# apt-get's first error or warning, or its last line, is the reason a step failed.
apt_reason() { grep -m 1 -E '^(E|W): ' "$1" || tail -n 1 "$1"; }
