#include "process/multipart_parser.h"

namespace velmora {

struct TMultipartParser::State {};

TMultipartParser::TMultipartParser(TUploadResults&, Charset, IFileDestinations*)
    : s_(std::make_unique<State>()) {}
TMultipartParser::~TMultipartParser() = default;
void TMultipartParser::ParseBlock(const uint8_t*, size_t) {}

ustring ClientFileName(ustring_view sent) { return ustring(sent); }

}  // namespace velmora
