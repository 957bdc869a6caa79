// Prints "<measurement text>  <path>" for every path, measured exactly as the
// tool measures a file; exit status 1 if any could not be measured.
#include <cstdio>

#include "measure/file_measurement.h"

int main(int argc, char** argv) {
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const FileMeasurement m = measure_file(argv[i]);
    switch (m.outcome) {
      case MeasureOutcome::kMeasured:
        printf("%s  %s\n", m.text, argv[i]);
        break;
      case MeasureOutcome::kMissing:
        fprintf(stderr, "%s: does not exist\n", argv[i]);
        status = 1;
        break;
      default:
        fprintf(stderr, "%s: not measured\n", argv[i]);
        status = 1;
        break;
    }
  }
  return status;
}
