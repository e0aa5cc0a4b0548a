#!/bin/sh
# Runs one Windows program under Wine for CTest.
#
# Wine starts background processes (wineserver, services, explorer) that
# inherit the standard streams of whatever started them. Started by a test,
# they would hold CTest's output pipe open long after the test ends and CTest
# would wait for them. So the server and the prefix's services are brought up
# here first, detached from our streams, and only then is the program run.
. "$(dirname "$0")/wine-env.sh"
unset DISPLAY
wineserver -p30 </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1
exec wine "$@"
