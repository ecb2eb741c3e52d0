#!/usr/bin/env bash
# config_line_fuzz.cc built and run: tests/fuzz/run_config_line_fuzz.sh [seconds] [build-dir]
exec bash "$(dirname "$0")/build_and_run.sh" config_line "$@"
