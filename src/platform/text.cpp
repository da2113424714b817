#include "platform/text.h"

#include <cstring>

#include "platform/case_tables.h"
#include "platform/system_locale.h"

namespace upkeep {

namespace {

// Written once, by the string table's "Locale" call at start-up, before any
// other thread exists; read freely afterwards.
int g_code_page = 1252;
const CaseTable* g_table = nullptr;  // null: the C locale, ASCII only

struct Language {
  const char* names;  // '|'-separated: English names, abbreviations, ISO code
  int code_page;
  const char* countries;  // '|'-separated names accepted after '_'
};

const Language kLanguages[] = {
    {"polish|plk|pl", 1250, "poland"},
    {"czech|csy|cs", 1250, "czech republic|czechia"},
    {"slovak|sky|sk", 1250, "slovakia"},
    {"hungarian|hun|hu", 1250, "hungary"},
    {"slovenian|slv|sl", 1250, "slovenia"},
    {"croatian|hrv|hr", 1250, "croatia"},
    {"romanian|rom|ro", 1250, "romania"},
    {"albanian|sqi|sq", 1250, "albania"},
    {"russian|rus|ru", 1251, "russia"},
    {"ukrainian|ukr|uk", 1251, "ukraine"},
    {"bulgarian|bgr|bg", 1251, "bulgaria"},
    {"belarusian|bel|be", 1251, "belarus"},
    {"macedonian|mki|mk", 1251, "macedonia|north macedonia"},
    {"english|american|american english|american-english|english-american|english-us|"
     "english-usa|english-uk|english-can|english-aus|english-nz|british|enu|eng|ena|enc|enz|"
     "eni|en",
     1252,
     "united states|united kingdom|australia|canada|new zealand|ireland|south africa|usa|"
     "america|britain|great britain|england|uk|us"},
    {"german|german-swiss|german-austrian|swiss|deu|des|dea|de", 1252,
     "germany|austria|switzerland|luxembourg|liechtenstein"},
    {"french|french-belgian|french-canadian|french-swiss|fra|frb|frc|frs|fr", 1252,
     "france|belgium|canada|switzerland|luxembourg"},
    {"spanish|spanish-mexican|spanish-modern|esp|esm|esn|es", 1252,
     "spain|mexico|argentina|chile|colombia|peru|venezuela"},
    {"italian|italian-swiss|ita|its|it", 1252, "italy|switzerland"},
    {"dutch|dutch-belgian|nld|nlb|nl", 1252, "netherlands|holland|belgium"},
    {"portuguese|portuguese-brazilian|ptg|ptb|pt", 1252, "portugal|brazil"},
    {"swedish|sve|sv", 1252, "sweden|finland"},
    {"danish|dan|da", 1252, "denmark"},
    {"norwegian|norwegian-bokmal|norwegian-nynorsk|nor|non|no|nb|nn", 1252, "norway"},
    {"finnish|fin|fi", 1252, "finland"},
    {"icelandic|isl|is", 1252, "iceland"},
    {"catalan|cat|ca", 1252, "spain"},
    {"basque|euq|eu", 1252, "spain"},
    {"greek|ell|el", 1253, "greece"},
    {"turkish|trk|tr", 1254, "turkey|turkiye"},
    {"hebrew|heb|he", 1255, "israel"},
    {"arabic|ara|ar", 1256, "saudi arabia|egypt|morocco|algeria|tunisia|jordan|lebanon"},
    {"lithuanian|lth|lt", 1257, "lithuania"},
    {"latvian|lvi|lv", 1257, "latvia"},
    {"estonian|eti|et", 1257, "estonia"},
    {"vietnamese|vit|vi", 1258, "vietnam|viet nam"},
};

int AsciiLower(int c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// True when `text` (of `length` bytes) is one of the '|'-separated names,
// ASCII case ignored.
bool InList(const char* list, const char* text, size_t length) {
  const char* p = list;
  while (*p != 0) {
    const char* end = std::strchr(p, '|');
    size_t n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
    if (n == length) {
      size_t i = 0;
      while (i < n && AsciiLower(static_cast<unsigned char>(p[i])) ==
                          AsciiLower(static_cast<unsigned char>(text[i]))) {
        ++i;
      }
      if (i == n) return true;
    }
    if (end == nullptr) break;
    p = end + 1;
  }
  return false;
}

const Language* FindLanguage(const char* text, size_t length) {
  for (const Language& language : kLanguages) {
    if (InList(language.names, text, length)) return &language;
  }
  return nullptr;
}

// The code page a locale name selects, 0 when the name is not accepted.
int ParseLocaleName(const char* name) {
  size_t length = std::strlen(name);
  const char* dot = std::strrchr(name, '.');
  size_t base_length = dot != nullptr ? static_cast<size_t>(dot - name) : length;
  const char* underscore = static_cast<const char*>(std::memchr(name, '_', base_length));
  size_t language_length =
      underscore != nullptr ? static_cast<size_t>(underscore - name) : base_length;

  const Language* language = nullptr;
  if (language_length > 0) {
    language = FindLanguage(name, language_length);
    if (language == nullptr) return 0;
    if (underscore != nullptr) {
      const char* country = underscore + 1;
      size_t country_length = base_length - language_length - 1;
      if (!InList(language->countries, country, country_length)) return 0;
    }
  } else if (underscore != nullptr) {
    return 0;  // a country without a language
  }

  int code_page = 0;
  if (dot == nullptr) {
    code_page = language != nullptr ? language->code_page : SystemDefaultCodePage();
  } else {
    const char* digits = dot + 1;
    if (InList("acp", digits, std::strlen(digits))) {
      code_page = language != nullptr ? language->code_page : SystemDefaultCodePage();
    } else {
      if (*digits == 0 || std::strlen(digits) > 5) return 0;
      for (const char* p = digits; *p != 0; ++p) {
        if (*p < '0' || *p > '9') return 0;
        code_page = code_page * 10 + (*p - '0');
      }
    }
  }
  return FindCaseTable(code_page) != nullptr ? code_page : 0;
}

}  // namespace

int ToUpperChar(int c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (g_table != nullptr && c >= 0x80 && c <= 0xFF) return g_table->upper[c - 0x80];
  return c;
}

int ToLowerChar(int c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (g_table != nullptr && c >= 0x80 && c <= 0xFF) return g_table->lower[c - 0x80];
  return c;
}

void ToUpperInPlace(std::string* text) {
  for (char& ch : *text) ch = static_cast<char>(ToUpperChar(static_cast<unsigned char>(ch)));
}

void ToLowerInPlace(std::string* text) {
  for (char& ch : *text) ch = static_cast<char>(ToLowerChar(static_cast<unsigned char>(ch)));
}

int CompareNoCase(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    int cx = ToLowerChar(*x);
    int cy = ToLowerChar(*y);
    if (cx != cy || cx == 0) return cx - cy;
  }
}

bool SelectLocale(const char* name) {
  if (name == nullptr) return false;
  if (std::strcmp(name, "C") == 0) {
    g_table = nullptr;
    g_code_page = 1252;
  } else {
    int code_page = ParseLocaleName(name);
    if (code_page == 0) return false;
    g_table = FindCaseTable(code_page);
    g_code_page = code_page;
  }
  ApplyRuntimeLocale(name);
  return true;
}

int CurrentCodePage() { return g_code_page; }

int SelectedCodePage() { return g_table != nullptr ? g_code_page : 0; }

int LanguageCodePage(const char* language) {
  if (language == nullptr) return 0;
  const Language* found = FindLanguage(language, std::strlen(language));
  return found != nullptr ? found->code_page : 0;
}

}  // namespace upkeep
