#!/bin/sh
# Installs what building and testing MsiCA needs on Debian 12, if anything is missing.
set -e
# wine64-preloader: without it Wine reserves the Windows address ranges only after Linux has laid
# out a process at random, and about one program start in 5,000 fails ("failed to map the shared
# user data"). Wine's msiexec does not check the start of its custom action server and then waits
# for it for ever.
packages="cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest wine wine64 wine64-preloader wixl msitools osslsigncode openssl libcli11-dev nlohmann-json3-dev"
missing=""
for package in $packages; do
    dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "Installing:$missing"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
