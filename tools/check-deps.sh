#!/bin/sh
# Stops the build early, naming the Debian packages that supply what is missing.
missing=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || missing="$missing g++"
command -v make >/dev/null 2>&1 || missing="$missing make"
if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then
  missing="$missing libgtest-dev"
fi
if [ -n "$missing" ]; then
  echo "kavrel: missing build tools; install them with:" >&2
  echo "    apt-get install$missing" >&2
  exit 1
fi
