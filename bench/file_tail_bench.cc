// Long run of the File_Tail model (tests/agent/file_tail_model.h): seeded
// random writer actions on a real directory, the lines delivered checked
// after every look.
//
//   file_tail_bench [STEPS [SEEDS [RESTARTS [TRACESEED [NOBIRTH]]]]]
//                   (100000 10 0 0 0)
//
// TRACESEED runs that one seed alone and prints its every action; NOBIRTH
// runs as on a file system that keeps no birth time.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "tests/agent/file_tail_model.h"
#include "tests/support/temp_dir.h"

int main(int argc, char** argv) {
  const int steps = argc > 1 ? atoi(argv[1]) : 100000;
  const int seeds = argc > 2 ? atoi(argv[2]) : 10;
  const bool restarts = argc > 3 && atoi(argv[3]) != 0;
  const int traced = argc > 4 ? atoi(argv[4]) : 0;
  int failed = 0;
  for (int seed = traced > 0 ? traced : 1;
       seed <= (traced > 0 ? traced : seeds); ++seed) {
    qortest::Scoped_Temp_Dir dir;
    qortest::File_Tail_Model model(dir.path(), static_cast<uint32_t>(seed),
                                   restarts);
    if (traced > 0) {
      model.Trace(stdout);
    }
    if (argc > 5 && atoi(argv[5]) != 0) {
      model.WithoutBirthTimes();
    }
    const std::string error = model.Run(steps);
    printf("seed %d, %d steps: %s\n", seed, steps,
           error.empty() ? "ok" : error.c_str());
    failed += error.empty() ? 0 : 1;
  }
  return failed == 0 ? 0 : 1;
}
