#!/usr/bin/env bash
# string_parser_fuzz.cc built and run: tests/fuzz/run_string_parser_fuzz.sh [seconds] [build-dir]
exec bash "$(dirname "$0")/build_and_run.sh" string_parser "$@"
