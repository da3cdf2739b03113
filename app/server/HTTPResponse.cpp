#include "HTTPResponse.h"

HTTPResponse::HTTPResponse(const char* request) : request_(request ? request : "") {}
