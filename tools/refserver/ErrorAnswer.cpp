#include "refserver/ErrorAnswer.h"

#include "VornKit/Platform/JsonWriter.h"

namespace refserver {

void fail(Response& response, int status, std::string_view message) {
    response.status = status;
    response.body.clear();
    vk::JsonWriter writer(response.body);
    writer.beginObject();
    writer.key("Status");
    writer.integer(status);
    writer.key("Error");
    writer.string(message);
    writer.endObject();
}

}  // namespace refserver
