// LibraryServer: a reference server with a generated library, listening on a loopback port of its
// own, as the tests that run the command-line programs start one. Header-only, for the test
// executables that link refserverlib.
//
// Thread rule: as RefServer's. Ownership: the test owns it; destroying it stops the server.
#pragma once

#include <memory>
#include <string>

#include "refserver/Library.h"
#include "refserver/RefServer.h"

namespace vk::test {

struct LibraryServer {
    /// Starts a server with `serverOptions`, installs a library made with `libraryOptions` and
    /// listens on 127.0.0.1 (throws std::bad_optional_access when it cannot).
    LibraryServer(refserver::RefServer::Options serverOptions,
                  refserver::LibraryOptions libraryOptions)
        : server(std::move(serverOptions)),
          library(refserver::Library::install(server, std::move(libraryOptions))),
          address(server.listen({"main", "127.0.0.1", 0, std::nullopt}).value()) {}

    refserver::RefServer server;
    std::shared_ptr<refserver::Library> library;
    /// The base address ("http://127.0.0.1:41234").
    std::string address;
};

}  // namespace vk::test
