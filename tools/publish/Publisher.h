#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace varo::publish {

// Exit codes of varo-publish.
inline constexpr int kExitOk = 0;            // done; every file of the release is listed
inline constexpr int kExitFailed = 1;        // nothing written (the message says why)
inline constexpr int kExitUsage = 2;         // the command line is wrong; nothing written
inline constexpr int kExitFilesLeftOut = 3;  // list written, but files were left out

// The commands of varo-publish, given its arguments without the program's
// name; what it reports goes to out (results) and err (messages). Returns
// the exit code.
//   keygen KEY.pem      a new P-256 private key, and the PublicKey= line
//   pubkey KEY.pem      the PublicKey= line of a key
//   list RELEASE_DIR --url BASE_URL [--key KEY.pem] [--sequence N] [-o FILE]
//                       the update list of a release folder (and FILE.sig)
int RunPublisher(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace varo::publish
