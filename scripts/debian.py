"""The system's own Debian archive and package index, as the scripts and test sessions reach them:
an apt configuration of their own for other suites (sources, lists, state and cache in one folder,
the system's apt never touched), and whether the index the machine's pip names answers.

    python3 scripts/debian.py archive    prints the archive's URI (scripts/make-root uses it)
"""

import os
import pathlib
import subprocess
import sys
import tempfile

KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
LOCK_WAIT = ["-o", "DPkg::Lock::Timeout=600"]  # another apt-get holding the lock is waited for


class Unavailable(Exception):
    """Something outside the project (an archive, an index, a toolchain) cannot be had here."""


def archive_uri():
    """The system's main Debian archive as apt reads /etc/apt (one-line or deb822 sources): a plain
    release suite, not the security, updates or backports one. Its label is known once the lists
    are fetched; before that, any plain suite qualifies."""
    fields = "$(TARGET_OF)|$(IDENTIFIER)|$(LABEL)|$(RELEASE)|$(REPO_URI)"
    for extra, labelled in (([], True), (["--no-release-info"], False)):
        listed = subprocess.run(["apt-get", "indextargets", *extra, "--format", fields],
                                capture_output=True, text=True).stdout
        for line in listed.splitlines():
            kind, identifier, label, release, uri = (line.split("|") + [""] * 5)[:5]
            if (kind == "deb" and identifier == "Packages" and "-" not in release and "/" not in release
                    and (not labelled or label == "Debian")):
                return uri
    raise Unavailable("no Debian archive among the system's apt sources")


def private_apt(folder, types, suites, allow_expired=False):
    """An environment whose apt reads only SUITES of the system's archive, with its lists, state and
    cache in FOLDER. allow_expired: the suites are a snapshot whose Release is past Valid-Until."""
    uri = archive_uri()
    if not os.access(KEYRING, os.R_OK):
        raise Unavailable(f"no Debian archive keyring at {KEYRING}")
    folder = pathlib.Path(folder)
    for sub in ("lists/partial", "archives/partial", "state", "parts", "sources.list.d"):
        (folder / sub).mkdir(parents=True, exist_ok=True)
    (folder / "status").touch()
    (folder / "sources.list.d" / "private.sources").write_text(
        f"Types: {types}\nURIs: {uri}\nSuites: {' '.join(suites)}\nComponents: main\nSigned-By: {KEYRING}\n")
    architecture = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
    settings = {
        "Dir::State": folder / "state", "Dir::State::Lists": folder / "lists", "Dir::State::status": folder / "status",
        "Dir::Cache": folder, "Dir::Cache::archives": folder / "archives", "Dir::Cache::pkgcache": "",
        "Dir::Cache::srcpkgcache": "", "Dir::Etc::main": "/dev/null", "Dir::Etc::Parts": folder / "parts",
        "Dir::Etc::SourceList": "/dev/null", "Dir::Etc::SourceParts": folder / "sources.list.d",
        "Dir::Etc::Preferences": "/dev/null", "Dir::Etc::PreferencesParts": folder / "parts",
        "Dir::Etc::Trusted": KEYRING, "Dir::Etc::TrustedParts": folder / "parts", "Dir::Log": folder / "state",
        "APT::Sandbox::User": "root", "Acquire::Languages": "none", "Acquire::Retries": "1",
        "Acquire::http::Timeout": "20", "Acquire::https::Timeout": "20",
    }
    # Nothing of the system's apt configuration applies except its proxies, if it sets any.
    for proxy in ("Acquire::http::Proxy", "Acquire::https::Proxy"):
        value = subprocess.run(["apt-config", "dump", "--no-empty", "--format", "%v", proxy],
                               capture_output=True, text=True).stdout.strip()
        if value:
            settings[proxy] = value
    if allow_expired:
        settings["Acquire::Check-Valid-Until"] = "false"
    lines = [f'{key} "{value}";' for key, value in settings.items()]
    lines.append(f'APT::Architectures {{ "{architecture}"; }};')
    (folder / "apt.conf").write_text("\n".join(lines) + "\n")
    return dict(os.environ, APT_CONFIG=str(folder / "apt.conf"))


def apt(env, *args, cwd=None, what=None):
    """apt-get ARGS under a private configuration; on failure Unavailable with apt's first error
    or warning, else its last line."""
    done = subprocess.run(["apt-get", *LOCK_WAIT, "-q", *args], env=env, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        lines = (done.stdout + done.stderr).splitlines()
        reason = next((line for line in lines if line.startswith(("E: ", "W: "))), lines[-1] if lines else "")
        raise Unavailable(f"{what or 'apt-get ' + args[0]} failed: {reason}")
    return done


def install_missing(*packages):
    """Installs through the system's apt those of PACKAGES that are not installed yet."""
    subprocess.run(["scripts/setup", "--install", *packages], cwd=pathlib.Path(__file__).parents[1], check=True,
                   stdout=sys.stderr)


def pip_setting(variable, key):
    """A setting of the machine's own pip configuration (PIP_INDEX_URL, else global.index-url, say)."""
    return os.environ.get(variable) or subprocess.run(
        ["/usr/bin/python3", "-m", "pip", "config", "get", key], capture_output=True, text=True).stdout.strip()


def index_unreachable():
    """Why pip cannot fetch a package from the index the machine's pip configuration names, with
    none of that configuration's local folders; None when it can."""
    index, cert = pip_setting("PIP_INDEX_URL", "global.index-url"), pip_setting("PIP_CERT", "global.cert")
    env = {k: v for k, v in os.environ.items() if k not in ("PIP_FIND_LINKS", "PIP_EXTRA_INDEX_URL", "PIP_CERT")}
    env.update(PIP_CONFIG_FILE=os.devnull, **({"PIP_INDEX_URL": index} if index else {}),
               **({"PIP_CERT": cert} if cert and os.access(cert, os.R_OK) else {}))
    with tempfile.TemporaryDirectory() as folder:
        try:
            done = subprocess.run(["/usr/bin/python3", "-m", "pip", "download", "--quiet", "--no-deps",
                                   "--no-cache-dir", "-d", folder, "pytest"], env=env, capture_output=True,
                                  text=True, timeout=180)
        except subprocess.TimeoutExpired:
            return "the package index cannot be reached: no answer in 3 minutes"
    if done.returncode == 0:
        return None
    said = [line for line in done.stderr.splitlines() if line.strip()] or [f"pip exited {done.returncode}"]
    return "the package index cannot be reached: " + said[-1]


if __name__ == "__main__":
    if sys.argv[1:] != ["archive"]:
        raise SystemExit(__doc__.strip().splitlines()[-1].strip())
    try:
        print(archive_uri())
    except Unavailable as why:
        raise SystemExit(str(why))
