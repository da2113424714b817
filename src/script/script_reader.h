// One loaded script file and the lexical layer over it: single bytes with
// push-back, blanks and comments, words, and the three literal kinds, each of
// which may also name a constant of the file.
#ifndef UPKEEP_SCRIPT_SCRIPT_READER_H_
#define UPKEEP_SCRIPT_SCRIPT_READER_H_

#include <cstdarg>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "script/script_value.h"

#include "package/package.h"

namespace upkeep {

// GetChar's mark for the end of the text.
constexpr int kEndOfInput = -1;

// ReadWord's results; callers treat all but kWordOk as failure.
constexpr int kWordOk = 0;
constexpr int kWordTooLong = 1;
constexpr int kWordEnd = -1;
// A word buffer: at most 31 characters and the NUL.
constexpr size_t kWordCapacity = 32;

// Longest path a reader is loaded from, and longest include path.
constexpr size_t kMaxScriptPath = 255;

// Where a parse message points: the file it was read from and the 1-based
// line and column (in bytes) of the byte or item it is about; line 0 when it
// is about the file as a whole.
struct ScriptPlace {
  const std::string& path;
  size_t line;
  size_t column;
  bool warning;  // the parse goes on
};

// Receives each formatted parse message.
class ScriptErrorSink {
 public:
  virtual ~ScriptErrorSink() = default;
  virtual void OnScriptError(const char* message) = 0;
  // The same message with its place, for sinks that show it.
  virtual void OnScriptMessage(const ScriptPlace& place, const char* message) {
    OnScriptError(message);
  }
};

// A named constant of one script file.
struct ScriptConst {
  ScriptConst() = default;
  ~ScriptConst() { delete value; }
  ScriptConst(const ScriptConst&) = delete;
  ScriptConst& operator=(const ScriptConst&) = delete;

  std::string name;              // lower case, at most 31 characters
  ScriptValue* value = nullptr;  // owned
  ScriptConst* next = nullptr;   // not owned by this record: see DestroyConstList
};

// Releases a whole constant list iteratively.
void DestroyConstList(ScriptConst* head);

class ScriptReader {
 public:
  ScriptReader() = default;
  virtual ~ScriptReader();
  ScriptReader(const ScriptReader&) = delete;
  ScriptReader& operator=(const ScriptReader&) = delete;

  // The byte at `position` (0 to 255), advancing; kEndOfInput at the end.
  int GetChar();
  // One byte back, never below 0. Only for bytes that were actually read.
  void UngetChar();
  bool AtEnd() const { return position >= size; }
  // Skips white space and comments; true when the text is used up.
  bool SkipBlanks();
  // A run of A-Z, a-z, 0-9 and '_' into `buffer`: kWordOk, kWordTooLong
  // (reported) or kWordEnd when the text ends right after the word.
  int ReadWord(char* buffer, size_t capacity);

  // Literals or constant names. Each returns a new value owned by the caller,
  // or null after setting `error` (and reporting where a message applies).
  ScriptValue* ParseInteger(int& error);
  ScriptValue* ParseFloat(int& error);
  ScriptValue* ParseString(int& error);

  // Formats a message printf-style and hands it to the sink, if any, placed
  // at the byte read last (the end of the text when that read met it).
  virtual void ReportError(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The same placed elsewhere: at the start of the word or literal read last,
  // or at the file as a whole; a warning does not fail anything.
  enum class Place { kLastByte, kItem, kWholeFile };
  void Report(Place place, bool warning, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  std::string directory;  // the path up to its last '\' (else '/'), or empty
  std::string path;
  std::vector<unsigned char> text;  // the whole file; not NUL-terminated
  size_t size = 0;                  // text.size()
  size_t position = 0;
  ScriptErrorSink* errorSink = nullptr;  // not owned
  ScriptConst* consts = nullptr;         // newest first, owned

  // Where this file stands among includes: 0 for the file a parse starts
  // with; the count is of every include loaded so far by the whole parse.
  int includeDepth = 0;
  int includeCount = 0;
  // The file opened but could not be read whole; a parse of it fails rather
  // than running what part of it there is.
  bool readFailed = false;
  // The package the file came from, where its includes are looked for too;
  // null for the process-wide lookup. Not owned.
  const PackageArchive* package = nullptr;

  // For messages only: where the word or string literal read last began,
  // and the byte read last (`size` once a read met the end).
  size_t itemStart = 0;
  size_t lastRead = 0;

 private:
  // The last string literal read whose text ran over a line break: where it
  // opened and where its closing quote stood. A quote missing at the end of
  // a line closes at the next one, and the fault shows only there.
  bool brokenString_ = false;
  size_t brokenStringStart_ = 0;
  size_t brokenStringEnd_ = 0;
  // Line of `offset`, 1-based, with its column.
  void LineOf(size_t offset, size_t* line, size_t* column) const;
  void Deliver(size_t offset, bool warning, const char* format, va_list args);
  // UngetChar unless the read met the end of the text.
  void PushBack(int c);
  // The constant named by the word read here, which must be of `type`.
  const ScriptConst* ReadConstReference(ScriptValueType type, int& error);
  // The part integers and floats share: an optional "-" (blanks allowed after
  // it), then the first digit, or else a constant of `type`.
  enum class NumberStart { kDigits, kConst, kFailed };
  NumberStart BeginNumber(ScriptValueType type, int& error, bool* negative, int* first,
                          ScriptValue** value);
};

// Loads the whole file through the package-aware file layer (a packaged entry
// of that name, else the disk). A file that cannot be opened gives an empty
// reader; a path longer than kMaxScriptPath, or a file that opens but cannot
// be read whole, an empty reader marked readFailed.
std::unique_ptr<ScriptReader> LoadScript(const char* path);
// The same from the entry of `package` named `path` (a name it lacks comes
// from the disk only while loose file reads are allowed); includes of the
// file are looked for the same way. A null package is LoadScript(path).
std::unique_ptr<ScriptReader> LoadScript(const PackageArchive* package, const char* path);

// A reader over text already in memory, as if loaded from `path`.
std::unique_ptr<ScriptReader> ScriptFromText(const std::string& text, const char* path = "");

}  // namespace upkeep

#endif  // UPKEEP_SCRIPT_SCRIPT_READER_H_
