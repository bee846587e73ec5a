#pragma once
// The form object ("postdata") of a POST request: url-encoded fields as sent,
// and multipart/form-data with its files saved to the project's cache folder.

#include <string>
#include <string_view>
#include <vector>

#include "server/http/request_info.hpp"

namespace vexa {

class TJSON;

// Adds the fields of the request body to the form document (on its current
// object). Url-encoded names and values are kept exactly as sent: no percent
// decoding, "+" stays "+". Raises nothing: an error is printed as
// "Parser Form Data Error:- " + message and the fields added so far stay.
void ParseFormData(const RequestHeader& request, std::string_view body, TJSON& form);

// The items of an url-encoded form text, split at "&" and at blanks and
// control characters, with double-quoted items taken whole.
std::vector<std::string> SplitFormText(std::string_view text);

// The multipart boundary named in a content type, or "".
std::string GetBoundary(const std::string& contentType);

// Parses a multipart/form-data body into the form document, saving file parts
// under ProjDir + "/cache/". Raises nothing.
void ParseMultipartFormData(std::string_view body, const std::string& boundary, TJSON& form);

// The value of key="..." in a header line, or "" (case-sensitive; the key
// "name" also matches inside "filename").
std::string GetQuotedParam(const std::string& line, const std::string& key);

// One multipart part, cleared for every part.
struct TFormDataItem {
  std::string Name;
  std::string Value;
  std::string FileName;
  std::string_view Data;
  bool IsFile = false;
};

// The scanning routines over one multipart body (not copied: the view must
// outlive the parser).
class TMultipartParser {
 public:
  explicit TMultipartParser(std::string_view body) : body_(body) {}
  // First position at or after start where pattern stands, or -1.
  long long IndexOfBytes(std::string_view pattern, long long start) const;
  // The lines of the header block [start, end), split at CR LF, LF or CR.
  std::vector<std::string> ReadPartHeaders(long long start, long long end) const;

 private:
  std::string_view body_;
};

// The name under which an uploaded file is stored in the cache folder: the
// last path component of what the client sent. "" when the name is refused
// (empty, ".", "..", or holding a NUL byte).
std::string SafeUploadName(std::string_view clientName);

// Writes data to cacheDir + "/" + name through a temporary file in the same
// folder that is then renamed over the target, so that two uploads of the
// same name never mix their bytes. Raises with the system's message.
void SaveUploadFile(const std::string& cacheDir, const std::string& name, std::string_view data);

}  // namespace vexa
