#include "refserver/ErrorAnswer.h"

#include "VornKit/Platform/Coding/JsonWriter.h"

namespace refserver {

std::string jsonError(int status, std::string_view message) {
    std::string out;
    vk::JsonWriter writer(out);
    writer.beginObject();
    writer.key("Status");
    writer.integer(status);
    writer.key("Error");
    writer.string(message);
    writer.endObject();
    return out;
}

void fail(Response& response, int status, std::string_view message) {
    response.status = status;
    response.body = jsonError(status, message);
}

}  // namespace refserver
