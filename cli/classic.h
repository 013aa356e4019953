#ifndef ORVANDEL_CLI_CLASSIC_H
#define ORVANDEL_CLI_CLASSIC_H

// The classic command line: one texture, one atlas beside it, a banner and
// the wait for a key.

namespace orvandel {

// The whole run: banner, load, atlas, write, the wait for a key. Returns the
// exit status.
int run_orvandel(int argc, char** argv);

}  // namespace orvandel

#endif
