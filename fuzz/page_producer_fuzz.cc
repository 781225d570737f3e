// Fuzz target: the page producer on arbitrary templates.
//
// The first byte chooses the options (bit 0: StripParamQuotes, bit 1: the
// administration's tag handler instead of a recording one, bit 2: the
// template's HTMLDoc form is compared instead of its stream form); the rest
// is the template. ProducePage may refuse a template only with EParserError or
// EPageProducerError. Text without "<" must pass byte for byte (up to a
// NUL byte, which ends the template). Every tag must be replaced by what the
// handler returned and nothing else: the page made with a handler that
// answers a NUL byte, with those bytes removed, equals the page made with a
// handler that answers nothing. The stream or the HTMLDoc form of a
// template must give the same page as the string (one of the two for each
// input, so that an input costs three passes, not four). The administration's handler, fed the
// tag's parameters as request parameters, must never let "<", ">" or a
// double quote of a posted value into the page.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "settings/service_state.h"
#include "settings/settings_files.h"
#include "web/admin_pages.h"
#include "web/page_producer.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "page_producer_fuzz: %s\n", what);
    std::abort();
  }
}

bool IsSymbolStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsSymbolChar(char c) { return IsSymbolStart(c) || (c >= '0' && c <= '9'); }

// A tag name is a symbol, a single other byte, or empty (end of template).
bool IsTagName(const std::string& name) {
  if (name.empty()) return true;
  if (!IsSymbolStart(name[0])) return name.size() == 1;
  for (char c : name) {
    if (!IsSymbolChar(c)) return false;
  }
  return true;
}

// The state behind the administration's handler: one watch entry and the
// mail settings, with EUC-JP text as the service stores it.
sl::ServiceState& AdminState() {
  static sl::ServiceState* state = [] {
    auto* s = new sl::ServiceState("/nonexistent/scanlantern-fuzz/");
    sl::MutexLock lock(s->Lock);
    s->EnvTable.Separator = ",";
    s->EnvTable.LoadFromBytes(
        "\"UserID\",\"Password\",\"SMTPServer\",\"FromMailAddress\",\"MailSubject\","
        "\"MailBody\"\n");
    sl::EnsureEnvDefaults(s->EnvTable);
    s->EnvTable.SetValue("SMTPServer", "mail.example.com");
    s->EnvTable.SetValue("FromMailAddress", "<scan@example.com>");
    auto entry = std::make_shared<sl::TWatchFile>();
    entry->FileName = "/var/log/\xb4\xc6\xbb\xeb.log";               // 監視
    entry->SearchString = "\"disk full\" \xa5\xa8\xa5\xe9\xa1\xbc";  // エラー
    entry->SearchCount = 3;
    entry->MailAddress = "ops@example.com";
    s->Watches.push_back(entry);
    return s;
  }();
  return *state;
}

struct Outcome {
  bool ok = true;
  std::string page;
  std::vector<std::string> names;
};

// Runs one way of making the page; the refusals it may give mark it not ok.
template <typename Make>
Outcome Run(Make make) {
  Outcome o;
  try {
    o.page = make();
  } catch (const sl::EParserError&) {
    o.ok = false;
  } catch (const sl::EPageProducerError&) {
    o.ok = false;
  } catch (const sl::SettingsError&) {
    o.ok = false;  // the administration's handler finds no valid row number
  } catch (const sl::AdminError&) {
    o.ok = false;  // a row number beyond the watch list
  }
  return o;
}

Outcome Produce(sl::TPageProducer& producer, std::string_view html) {
  return Run([&] { return producer.ProducePage(html); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool strip_quotes = (data[0] & 1) != 0;
  const bool admin_handler = (data[0] & 2) != 0;
  const bool as_doc = (data[0] & 4) != 0;
  const std::string html(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::vector<std::string> names;
  std::string answer;  // what the recording handler replies
  sl::AdminPages admin(AdminState());
  sl::TPageProducer producer;
  producer.StripParamQuotes = strip_quotes;
  producer.OnHTMLTag = [&](sl::TTag tag, const std::string& name,
                           const std::vector<std::string>& params, std::string& reply) {
    Check(reply.empty(), "the handler is given a reply that is not empty");
    Check(IsTagName(name), "a tag name that is neither a symbol nor one byte");
    Check(tag == sl::TagOfName(name), "the tag kind does not belong to the name");
    names.push_back(name);
    if (!admin_handler) {
      reply = answer;
      return;
    }
    sl::MutexLock lock(AdminState().Lock);
    admin.AssertLockHeld();  // admin works on AdminState()
    reply = admin.PagWatchHTMLTag(name, params);
    if (!sl::AdminPages::AnswersWithMarkup(name)) {
      Check(reply.find_first_of("<>\"") == std::string::npos,
            "a posted value reaches the page unescaped");
    }
  };

  answer = "";
  Outcome plain = Produce(producer, html);
  plain.names.swap(names);

  if (plain.ok && html.find('<') == std::string::npos) {
    Check(plain.page == html.substr(0, html.find('\0')),
          "text without tags does not pass unchanged");
    Check(plain.names.empty(), "a tag found in text without \"<\"");
  }

  if (!admin_handler) {
    answer = std::string(1, '\0');
    Outcome marked = Produce(producer, html);
    marked.names.swap(names);
    Check(marked.ok == plain.ok, "the handler's answer changed whether the template is read");
    if (plain.ok) {
      Check(marked.names == plain.names, "the handler's answer changed the tags found");
      std::string unmarked;
      size_t replies = 0;
      for (char c : marked.page) {
        if (c == '\0')
          ++replies;
        else
          unmarked += c;
      }
      Check(unmarked == plain.page, "a tag's replacement is not exactly the handler's answer");
      Check(replies == plain.names.size(), "not every tag was replaced by the answer");
    }
    answer.clear();
  }

  if (!as_doc) {
    std::istringstream stream(html);
    Outcome from_stream = Run([&] { return producer.ProducePage(stream); });
    Check(from_stream.ok == plain.ok && from_stream.page == plain.page,
          "stream and string give other pages");
    return 0;
  }
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t lf = html.find('\n', start);
    lines.push_back(html.substr(start, lf - start));
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
  producer.SetHTMLDoc(lines);
  Outcome from_doc = Run([&] { return producer.ProducePage(); });
  Check(from_doc.ok == plain.ok && from_doc.page == plain.page,
        "HTMLDoc lines and string give other pages");
  return 0;
}
