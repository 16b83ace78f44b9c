#pragma once
// Reader of "nep.txt" model files. Every failure is an exception thrown at the first rule the file breaks:
// UnsupportedModelProtocol for refused model kinds, std::runtime_error for malformed text, and
// std::invalid_argument / std::out_of_range ("stoi", "stod") for tokens that are no number or out of range.
// Numbers are read the same under any process locale (a point is the decimal mark), and a file that opens but
// cannot be read counts as one that cannot be opened.
#include <istream>
#include <string>

#include "model_protocol.hpp"
#include "quarvel/export.h"

namespace quarvel::cuda_backend {

// Reads the whole file at `path`: header, parameter block and flexible ZBL records.
ParsedModelFile parse_model_file(const std::string& path);

// Reads only the header of the file at `path`; flexible ZBL outer cutoffs are not included.
QUARVEL_API ModelProtocol parse_model_protocol(const std::string& path);

// The same readers over an open stream, which they consume from its current position.
ParsedModelFile parse_model_stream(std::istream& in);
ModelProtocol parse_model_protocol_stream(std::istream& in);

}  // namespace quarvel::cuda_backend
