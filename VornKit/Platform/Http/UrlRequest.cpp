#include "VornKit/Platform/Http/UrlRequest.h"

#include <algorithm>
#include <cctype>

namespace vk {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

const char* standardText(UrlError::Code code) {
    switch (code) {
        case UrlError::cancelled:
            return "cancelled";
        case UrlError::badURL:
            return "bad URL";
        case UrlError::timedOut:
            return "The request timed out.";
        case UrlError::unsupportedURL:
            return "unsupported URL";
        case UrlError::cannotFindHost:
            return "A server with the specified hostname could not be found.";
        case UrlError::cannotConnectToHost:
            return "Could not connect to the server.";
        case UrlError::networkConnectionLost:
            return "The network connection was lost.";
        case UrlError::tooManyRedirects:
            return "too many HTTP redirects";
        case UrlError::badServerResponse:
            return "The server returned a response that could not be read.";
        case UrlError::userCancelledAuthentication:
            return "The server's authentication challenge was cancelled.";
        case UrlError::cannotDecodeContentData:
            return "The response body could not be decoded.";
        case UrlError::secureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be "
                   "made.";
        case UrlError::serverCertificateUntrusted:
            return "The certificate for this server is invalid.";
        case UrlError::fileDoesNotExist:
            return "The requested file does not exist.";
        case UrlError::cannotCreateFile:
            return "The file could not be created.";
        case UrlError::cannotWriteToFile:
            return "The file could not be written.";
        case UrlError::cannotMoveFile:
            return "The file could not be moved into place.";
        case UrlError::unknown:
            break;
    }
    return "An unknown error occurred.";
}

}  // namespace

std::optional<std::string> HttpHeaders::value(std::string_view name) const {
    for (const auto& [key, value] : fields_) {
        if (sameName(key, name))
            return value;
    }
    return std::nullopt;
}

void HttpHeaders::set(std::string_view name, std::string value) {
    for (auto& field : fields_) {
        if (sameName(field.first, name)) {
            field.second = std::move(value);
            return;
        }
    }
    fields_.emplace_back(std::string(name), std::move(value));
}

void HttpHeaders::add(std::string_view name, std::string_view value) {
    for (auto& field : fields_) {
        if (sameName(field.first, name)) {
            field.second.push_back(',');
            field.second.append(value);
            return;
        }
    }
    fields_.emplace_back(std::string(name), std::string(value));
}

void HttpHeaders::remove(std::string_view name) {
    std::erase_if(fields_, [&](const Field& field) { return sameName(field.first, name); });
}

std::string UrlRequest::description() const {
    return "<UrlRequest> { URL: " + (url ? url->absoluteString() : std::string("(null)")) + " }";
}

UrlError UrlError::make(Code code, std::string detail) {
    UrlError error;
    error.code = code;
    error.description = standardText(code);
    if (!detail.empty())
        error.description += " (" + detail + ")";
    return error;
}

}  // namespace vk
