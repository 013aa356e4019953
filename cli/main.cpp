// Program entry. A first argument starting with '-' chooses the modern
// command line (options, many files, no key wait); anything else is the
// classic one-file run, unchanged. Either way an ORVANDEL_ISA setting that
// cannot be taken as given is reported first, on standard error.
#include <signal.h>

#include <cstdio>
#include <string>

#include "cli/batch.h"
#include "cli/classic.h"
#include "cli/options.h"

int main(int argc, char** argv) {
    // Past a file-size limit a write fails (EFBIG) and is reported like any
    // failed write, its temporary file removed, instead of ending the run.
    signal(SIGXFSZ, SIG_IGN);
    const std::string note = orvandel::isa_note(orvandel::isa_choice());
    if (!note.empty()) std::fprintf(stderr, "orvandel: %s\n", note.c_str());
    if (argc > 1 && argv[1][0] == '-') return orvandel::run_modern(argc, argv);
    return orvandel::run_orvandel(argc, argv);
}
