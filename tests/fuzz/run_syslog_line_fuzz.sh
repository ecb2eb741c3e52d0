#!/usr/bin/env bash
# syslog_line_fuzz.cc built and run: tests/fuzz/run_syslog_line_fuzz.sh [seconds] [build-dir]
exec bash "$(dirname "$0")/build_and_run.sh" syslog_line "$@"
