// TProcess: what scripts read after Read — form variables, character set and
// the uploaded files.
#include <algorithm>
#include <cstdint>
#include <memory>

#include "base/errors.h"
#include "process/base64.h"
#include "process/process.h"
#include "process/process_state.h"

namespace velmora {

namespace {

const char16_t kNoFile[] = u"Index out of range or no file uploaded.";

}  // namespace

// Form variables. Names are matched two ways: with only a to z folded where a
// script's name meets the lists (Value, the repeats), by the system's compare
// where a line's name is looked up (Read, the lookup by name). The lists'
// indexes make each match cost O(1) plus the lines it yields.

int TProcess::State::appendRepeats(ustring_view name, ustring& result) const {
  int appended = 0;
  const TStringList& repeats = results.FMultiVar;
  for (int i = repeats.firstOfNameAscii(name); i >= 0; i = repeats.nextOfNameAscii(i, name)) {
    result += FVarDelimiter;
    result += repeats.value(i);
    ++appended;
  }
  return appended;
}

// Of the lines matching VarName, the last decides (each match would replace
// the one before), and its value is that of the first line of its name by
// the system's compare: with two file fields of one name, the first file.
ustring TProcess::Value(const ustring& VarName) {
  State& s = *s_;
  ustring result;
  const int last = s.results.FVariableList.lastOfNameAscii(VarName);
  if (last >= 0) result = s.results.FVariableList.value(s.results.FVariableList.indexOfSameName(last));
  if (s.appendRepeats(VarName, result) > 0) s.Debug = u"Hello";
  return result;
}

ustring TProcess::VarByIndex(int32_t Index) const {
  ustring name = VarName(Index);
  ustring result = s_->results.FVariableList.value(s_->results.FVariableList.indexOfSameName(Index));
  s_->appendRepeats(name, result);
  return result;
}

// A negative index fails in the list itself, with the list's own message.
ustring TProcess::VarName(int32_t Index) const {
  if (Index > VarCount() - 1) throw Exception(u"Index out of range.");
  return s_->results.FVariableList.name(Index);
}

int32_t TProcess::VarCount() const { return s_->results.FVariableList.count(); }
ustring TProcess::VarDelimiter() const { return s_->FVarDelimiter; }
void TProcess::SetVarDelimiter(const ustring& value) { s_->FVarDelimiter = value; }

ustring TProcess::TagName(int32_t Index) const {
  if (Index > s_->results.FFileQty - 1) throw Exception(kNoFile);
  return s_->results.FTagNameList[Index];
}

int32_t TProcess::TagNameIndex(const ustring& TagName) const {
  return s_->results.FTagNameList.indexOf(TagName);
}

ustring TProcess::Charset() const { return s_->FCharset; }
void TProcess::SetCharset(const ustring& value) {
  s_->FCharset = asciiUpper(value) == u"WINDOWS-1252" ? u"WINDOWS-1252" : u"UTF-8";
}

// Text is decoded once, while Read parses; there is nothing left to convert.
ustring TProcess::DecodeUTF8(const ustring& UTF8In) const { return UTF8In; }

// Uploaded files.

const TFileRecord& TProcess::State::checkedFile(int32_t index) const {
  if (index < 0 || index > results.FFileQty - 1) throw Exception(kNoFile);
  return results.FFiles[static_cast<size_t>(index)];
}

// The refusal follows the current SaveDirect setting; a file read in direct
// mode has no bytes in memory even after SaveDirect is switched off again.
const TChunkedMemoryStream& TProcess::State::fileBytes(int32_t index, const char16_t* member) const {
  if (FSaveDirect) throw EUploadError(ustring(member) + u" cannot be used when SaveDirect is true.");
  if (index < 0 || index > results.FFileQty - 1) throw EIndexError(kNoFile);
  const TChunkedMemoryStream* bytes = results.FFiles[static_cast<size_t>(index)].Storage.memory();
  if (!bytes)
    throw EUploadError(ustring(member) +
                       u" cannot be used for a file that was saved directly to disk.");
  return *bytes;
}

int32_t TProcess::FileQty() const { return s_->results.FFileQty; }
ustring TProcess::FileName(int32_t Index) const { return s_->checkedFile(Index).Name; }
ustring TProcess::LocalName(int32_t Index) const { return s_->checkedFile(Index).LocalName; }
ustring TProcess::Extension(int32_t Index) const { return s_->checkedFile(Index).Extension; }
ustring TProcess::NameOnly(int32_t Index) const { return s_->checkedFile(Index).NameOnly; }
ustring TProcess::ContentType(int32_t Index) const { return s_->checkedFile(Index).ContentType; }
ustring TProcess::NewName(int32_t Index) const { return s_->checkedFile(Index).NewName; }

int32_t SizeAsLong(int64_t size, const char16_t* member) {
  if (size > INT32_MAX)
    throw EUploadError(ustring(member) + u" cannot report a size of " + toDecimal(size) +
                       u" bytes: a Long holds at most 2147483647.");
  return static_cast<int32_t>(size);
}

int32_t TProcess::FileSize(int32_t Index) const {
  return SizeAsLong(s_->fileBytes(Index, u"FileSize").size(), u"FileSize");
}

const TChunkedMemoryStream& TProcess::FileData(int32_t Index) const {
  return s_->fileBytes(Index, u"FileData");
}

// Encoded a whole number of lines at a time, so that the pieces' texts join
// into the text of the whole file.
ustring TProcess::FileAsBase64(int32_t Index) const {
  constexpr size_t kPiece = kBase64LineBytes * 1024;
  const TChunkedMemoryStream& bytes = s_->fileBytes(Index, u"FileData");
  const size_t size = static_cast<size_t>(bytes.size());
  ustring text = Base64TextFor(size);
  std::unique_ptr<uint8_t[]> piece(new uint8_t[std::min(size, kPiece)]);
  for (size_t done = 0; done < size;) {
    const size_t n = bytes.readAt(done, piece.get(), kPiece);
    text += EncodeBase64Lines(piece.get(), n);
    done += n;
  }
  return text;
}

}  // namespace velmora
