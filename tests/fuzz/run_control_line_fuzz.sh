#!/usr/bin/env bash
# control_line_fuzz.cc built and run: tests/fuzz/run_control_line_fuzz.sh [seconds] [build-dir]
exec bash "$(dirname "$0")/build_and_run.sh" control_line "$@"
