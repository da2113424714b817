#include "script/string_table.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include "platform/text.h"
#include "script/script_call.h"
#include "script/script_parser.h"

namespace upkeep {

namespace {

// Entries come from blocks of 256; released ones are reused, and when the
// last one goes all blocks but one are freed.
class EntryPool {
 public:
  StringEntry* Allocate() {
    if (free_ == nullptr) AddBlock();
    StringEntry* entry = free_;
    free_ = entry->next;
    entry->next = nullptr;
    ++live_;
    return entry;
  }

  void Release(StringEntry* entry) {
    std::string().swap(entry->key);
    std::string().swap(entry->text);
    entry->previous = nullptr;
    entry->next = free_;
    free_ = entry;
    if (--live_ == 0 && blocks_.size() > 1) {
      blocks_.resize(1);
      free_ = nullptr;
      Thread(blocks_[0].get());
    }
  }

 private:
  static constexpr size_t kBlock = 256;

  void AddBlock() {
    blocks_.emplace_back(new StringEntry[kBlock]);
    Thread(blocks_.back().get());
  }

  void Thread(StringEntry* block) {
    for (size_t i = kBlock; i-- > 0;) {
      block[i].next = free_;
      free_ = &block[i];
    }
  }

  std::vector<std::unique_ptr<StringEntry[]>> blocks_;
  StringEntry* free_ = nullptr;
  size_t live_ = 0;
};

struct TableState {
  StringTable table;
  EntryPool pool;
};

// Never destroyed: a worker thread may still expand texts while the process
// ends, and every result must stay valid until then.
TableState& State() {
  static TableState* state = new TableState();
  return *state;
}

// One copy of each distinct result. The two threads that expand texts meet
// here, so this is the one place with a lock.
const char* Intern(const char* text, size_t length) {
  static std::mutex* mutex = new std::mutex();
  static auto* texts = new std::unordered_set<std::string>();
  std::lock_guard<std::mutex> lock(*mutex);
  return texts->emplace(text, length).first->c_str();
}

// The output of one expansion, growing as the format has always grown it.
class Output {
 public:
  Output() { text_.reserve(capacity_); }
  void AppendByte(char c) {
    if (text_.size() + 1 == capacity_) Grow(capacity_ * 2);
    text_.push_back(c);
  }
  void AppendText(const char* text) {
    size_t n = std::strlen(text);
    if (n + text_.size() + 1 >= capacity_) Grow(n + 2 * capacity_);
    text_.append(text, n);
  }
  const std::string& text() const { return text_; }

 private:
  void Grow(size_t capacity) {
    capacity_ = capacity;
    text_.reserve(capacity_);
  }
  size_t capacity_ = 256;
  std::string text_;
};

}  // namespace

const StringTable& GetStringTable() { return State().table; }

int HashKey(const char* key) {
  uint32_t h = 0x100001u;
  if (key == nullptr) key = "";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p != 0; ++p) {
    uint32_t b = *p;
    if (b >= 'a' && b <= 'z') b &= ~0x20u;
    h = (h * 33u) ^ b;
  }
  return static_cast<int>(h & 0xFFu);
}

bool LoadStringTable(const char* fileName, ScriptErrorSink* sink) {
  std::unique_ptr<ScriptReader> reader = LoadScript(fileName);
  reader->errorSink = sink;
  int error = 0;
  std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, error);
  if (error != 0) return false;  // nothing is taken from a broken table
  try {
    for (const ScriptCall* call = program->first; call != nullptr; call = call->next) {
      if (CallNameIs(call, "String")) {
        AddString(StringArgument(call, 0), StringArgument(call, 1));
      } else if (CallNameIs(call, "Locale")) {
        // Without a text argument the locale is only queried: nothing changes.
        const char* name = StringArgument(call, 0);
        if (name != nullptr) SelectLocale(name);
      }
    }
  } catch (const std::bad_alloc&) {
    return false;  // the keys added so far stay usable
  }
  return true;
}

void AddString(const char* key, const char* text) {
  if (key == nullptr || text == nullptr || *key == 0) return;
  TableState& state = State();
  StringEntry* entry = state.pool.Allocate();
  entry->key = key;
  entry->text = text;
  StringBucket& bucket = state.table.buckets[HashKey(key)];
  entry->previous = bucket.last;
  entry->next = nullptr;
  if (bucket.last != nullptr) {
    bucket.last->next = entry;
  } else {
    bucket.first = entry;
  }
  bucket.last = entry;
  ++bucket.count;
  ++state.table.entryCount;
}

const char* FindString(const char* key) {
  if (key == nullptr) return nullptr;
  const StringBucket& bucket = State().table.buckets[HashKey(key)];
  for (const StringEntry* entry = bucket.first; entry != nullptr; entry = entry->next) {
    if (CompareNoCase(entry->key.c_str(), key) == 0) return entry->text.c_str();
  }
  return nullptr;
}

const char* ExpandText(const char* text) {
  if (text == nullptr) return "";
  const size_t length = std::strlen(text);
  if (length > kMaxExpandLength) return Intern(text, length);

  Output output;
  bool replaced = false;
  size_t i = 0;
  while (i < length) {
    if (text[i] != '&') {
      output.AppendByte(text[i]);
      ++i;
      continue;
    }
    const char* close = std::strchr(text + i + 1, '&');
    if (close == nullptr) return Intern(text, length);  // an "&" without a partner
    const size_t end = static_cast<size_t>(close - text);
    if (end == i + 1) {
      output.AppendByte('&');
      i = end + 1;
      continue;
    }
    const std::string key(text + i + 1, end - i - 1);
    const char* found = FindString(key.c_str());
    if (found == nullptr) return Intern(text, length);  // one unknown key spoils all
    output.AppendText(found);
    replaced = true;
    i = end + 1;
  }
  if (!replaced) return Intern(text, length);
  return Intern(output.text().c_str(), output.text().size());
}

void ClearStringTable() {
  TableState& state = State();
  for (StringBucket& bucket : state.table.buckets) {
    StringEntry* entry = bucket.first;
    while (entry != nullptr) {
      StringEntry* next = entry->next;
      state.pool.Release(entry);
      entry = next;
    }
    bucket = StringBucket();
  }
  state.table.entryCount = 0;
}

}  // namespace upkeep
