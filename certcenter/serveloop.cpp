#include "certcenter/serveloop.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "foundation/files.h"
#include "foundation/textconv.h"

namespace qm::certcenter {

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void RequestStop(int) {
    g_stopRequested = 1;
}

}  // namespace

void InstallStopHandlers() {
    std::signal(SIGTERM, RequestStop);
    std::signal(SIGINT, RequestStop);
}

bool StopRequested() {
    return g_stopRequested != 0;
}

int BindServer(httplib::Server& server, const std::string& host, int port) {
    const int bound =
        port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0)
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port));
    return bound;
}

std::string ListenUrl(const std::string& host, int port) {
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "https://" + shown + ":" + std::to_string(port);
}

void AnnounceReady(const std::string& readyFile, int port) {
    if (!readyFile.empty() &&
        !WriteFileAtomic(WideFromUtf8(readyFile), std::to_string(port) + "\n"))
        throw std::runtime_error("cannot write " + readyFile);
}

void AppendLogLine(const std::string& path, const std::string& line) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << line << std::flush;
    if (!out)
        std::cerr << "cannot append to " << path << "\n";
    std::cerr << line << std::flush;
}

bool ServeUntilStopped(httplib::Server& server) {
    std::atomic<bool> serving = true;
    std::thread watcher([&] {
        while (serving) {
            // stop() only acts on a running server, and only once.
            if (g_stopRequested && server.is_running()) {
                server.stop();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const bool listened = server.listen_after_bind();
    serving = false;
    watcher.join();
    return listened || g_stopRequested;
}

}  // namespace qm::certcenter
