// WebInterface: the reference server's own web interface, a small single-page application (plain
// HTML, JavaScript and CSS kept in tools/refserver/web/ and compiled into the server), and the
// sign-in route it uses. It is the stand-in web user interface of the desktop application's tests
// and demo: sign in, browse albums, play a queue through the host (or in the page), download for
// offline use, and a now-playing bar driven by the player bridge's statements.
//
// Pages (outside "/vorn", open):
//   GET  /, /web                      redirect to /web/
//   GET  /web/                        index.html
//   GET  /web/{file}                  the interface's other files (app.js and the modules it
//                                     imports, style.css, icon.svg)
// Route (under "/vorn", open):
//   POST Users/AuthenticateByName     {"Username", "Pw"}: the library's user with the server's
//        access token, {"User": {"Id", "Name", "ServerId"}, "AccessToken", "ServerId"}; 401 for
//        a wrong name or password, 400 for a body that is not such an object.
//
// Thread rule: thread-safe (the routes run on the server's worker threads).
#pragma once

#include <memory>
#include <string>

#include "refserver/Library.h"
#include "refserver/RefServer.h"

namespace refserver {

struct WebOptions {
    /// The name and password the sign-in accepts.
    std::string userName = "demo";
    std::string password = "demo";
    /// The token handed out at sign-in: the server's access token ("open" when the server checks
    /// none, as any token then passes).
    std::string accessToken = "open";
};

class WebInterface {
  public:
    /// Installs the pages and the sign-in route for `library`'s user.
    static void install(RefServer& server, std::shared_ptr<const Library> library,
                        WebOptions options);

    /// The interface's files by name, and the content type of a file name.
    /// @{
    static const std::string* file(const std::string& name);
    static std::string contentType(const std::string& name);
    /// @}
};

}  // namespace refserver
