// The command-line front end: `quillmate deploy|undo|open|status`. It runs
// the main window's logic headlessly - fills the same named controls, presses
// the same buttons and prints the result text as it changes.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class SslCertSrvBase;

// Exit codes, one per class of failure.
enum ExitCode : int {
    kExitSucceed = 0,
    kExitFailed = 1,             // any failure not in a class below
    kExitUsage = 2,              // the command line is wrong
    kExitDomainInput = 3,        // the domains given or found cannot be certified
    kExitWebServer = 4,          // the web server is not found or not running on the ports
    kExitCenter = 5,             // the certificate center cannot be reached or refused
    kExitCertificate = 6,        // the issued certificate cannot be used
    kExitServerConfig = 7,       // the web server rejected the configuration or did not restart
    kExitSettings = 8,           // the deployment settings or records are missing or unusable
    kExitUnsupportedServer = 9,  // this build has no deployer for the chosen server
    kExitInterrupted = 10,       // interrupted; every change was taken back
    kExitBusy = 11,              // another deployment or undo is running
    kExitEditedSinceDeployment = 12,  // undo refused: files edited since the deployment
};

// The exit code of a final result text.
int ExitCodeForResult(std::u16string_view resultText);

// Runs the command line (arguments after the program name, UTF-8); returns
// the exit code. Results go to `out`, errors and notes to `err`.
int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// What runs when no command is given: the window (the quillmate program
// sets it); without one the usage is printed.
void SetWindowFrontEnd(std::function<int(std::ostream& err)> frontEnd);

// Replaces the deployers the commands create (for tests and embedding); an
// empty function restores this build's own.
void SetCommandLineDeployerFactory(
    std::function<std::unique_ptr<SslCertSrvBase>(int32_t type)> factory);

}  // namespace qm
