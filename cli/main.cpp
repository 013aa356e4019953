// Program entry. A first argument starting with '-' chooses the modern
// command line (options, many files, no key wait); anything else is the
// classic one-file run, unchanged.
#include "cli/batch.h"
#include "cli/classic.h"

int main(int argc, char** argv) {
    if (argc > 1 && argv[1][0] == '-') return orvandel::run_modern(argc, argv);
    return orvandel::run_orvandel(argc, argv);
}
