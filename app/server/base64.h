#pragma once
#include <cstddef>
#include <memory>
#include <string>

// Decodes standard base64 (RFC 4648 alphabet and "=" padding, no line breaks).
// Returns the bytes followed by one zero byte, with *outLength set to the
// number of data bytes; null when the text is not valid base64 (length not a
// multiple of 4, a character outside the alphabet, misplaced padding).
std::unique_ptr<unsigned char[]> base64_decode(const char* text, size_t length, size_t* outLength);

// The same decoding over the text's own storage, for payloads too large to
// hold twice. On success `text` holds the bytes; on failure it is unchanged.
bool base64_decode_in_place(std::string& text);
