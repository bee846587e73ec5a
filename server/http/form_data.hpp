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

// The name tried for an upload of `name` after `number` names were taken:
// the name itself for 0, else the number before its extension
// ("report.txt", "report-1.txt", "report-2.txt", ...; "notes" gives
// "notes-1", ".env" gives ".env-1").
std::string NumberedUploadName(const std::string& name, unsigned number);
// Numbers tried before an upload of one name is refused.
inline constexpr unsigned kMaxUploadNumber = 9999;

// Writes data to a new file in cacheDir under the first of the numbered
// names of `name` that is free, created exclusively (O_EXCL), so an upload
// never replaces a file and two uploads at the same time never share one.
// Returns the path written; raises with the system's message (the file is
// then removed).
std::string SaveUploadFile(const std::string& cacheDir, const std::string& name, std::string_view data);

}  // namespace vexa
