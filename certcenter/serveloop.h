// Serving an HTTPS endpoint until SIGTERM or SIGINT, shared by our servers:
// the signals only set a flag, which a watcher thread turns into a clean
// stop outside the signal context.
#pragma once

#include <string>

namespace httplib {
class Server;
}

namespace qm::certcenter {

// Installs the stop handlers; call before the port is announced, so that a
// stop requested as soon as the server is ready is never lost.
void InstallStopHandlers();
bool StopRequested();

// Binds on host:port (0: any free port) and returns the port; throws when
// it cannot listen.
int BindServer(httplib::Server& server, const std::string& host, int port);

// "https://HOST:PORT", an IPv6 host in brackets.
std::string ListenUrl(const std::string& host, int port);

// Writes the port to `readyFile` (nothing when empty); throws when it cannot.
void AnnounceReady(const std::string& readyFile, int port);

// Appends `line` (ending in a line feed) to the request log at `path` and
// echoes it on stderr; a line that cannot be appended is reported there.
// Callers serialise their calls.
void AppendLogLine(const std::string& path, const std::string& line);

// Serves until a stop is requested. False when the server stopped serving
// on its own.
bool ServeUntilStopped(httplib::Server& server);

}  // namespace qm::certcenter
