#include "console/commands.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "console/credentials.h"
#include "console/discovery_client.h"
#include "console/http_client.h"
#include "console/settings_text.h"
#include "core/utf8_text.h"

namespace sl {

namespace {

// A watch list file to put is never near this size.
constexpr std::streamsize kMaxListFile = 8 << 20;
// What an error answer's body may show of itself.
constexpr size_t kMaxShownBody = 1000;

// The outcome of one request: the answer when the agent gave one with
// status 200, else the exit status and the line that says why.
struct Reply {
  int exit = kExitOk;
  std::string error;
  HttpAnswer answer;
};

Reply Request(const ConsoleOptions& options, const HostPort& agent, const std::string& method,
              const std::string& path, const std::string& body = std::string()) {
  Reply reply;
  Credentials credentials;
  if (!LoadCredentials(options.credentials_file, &credentials, &reply.error)) {
    reply.exit = kExitUsage;
    return reply;
  }
  HttpClient client(agent, credentials);
  std::string error;
  switch (client.Exchange(method, path, body, "text/plain", &reply.answer, &error)) {
    case HttpOutcome::kAnswered: break;
    case HttpOutcome::kUnreachable:
      reply.exit = kExitUnreachable;
      reply.error = error;
      return reply;
    case HttpOutcome::kBadAnswer:
      reply.exit = kExitUnreachable;
      reply.error = "no usable answer: " + error;
      return reply;
  }
  const HttpAnswer& a = reply.answer;
  if (a.status != 200) {
    reply.exit = kExitRefused;
    reply.error = std::to_string(a.status) + " " + a.reason;
    // A plain-text answer says why (a refused list, a failed save).
    if (!a.body.empty() && a.Header("Content-Type").rfind("text/plain", 0) == 0) {
      Utf8Converter convert;
      std::string shown = convert.EucToValidUtf8(a.body.substr(0, kMaxShownBody));
      while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
      reply.error += ": " + TerminalSafe(shown);
    }
  }
  return reply;
}

// On a terminal, control bytes other than TAB and LF are shown as "?":
// an agent's list must not drive the terminal.
std::string ForOutput(std::string text) {
  if (!::isatty(STDOUT_FILENO)) return text;
  for (char& c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if ((b < 0x20 && b != '\t' && b != '\n') || b == 0x7F) c = '?';
  }
  return text;
}

std::string StringField(const nlohmann::json& object, const char* name) {
  auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// "host  queue=N  last=TIME  file:state ..." from a status document.
std::string StatusLine(const HostPort& agent, const std::string& body) {
  nlohmann::json doc = nlohmann::json::parse(body);
  const nlohmann::json& entries = doc.at("entries");
  if (!entries.is_array()) throw std::runtime_error("entries is not a list");
  std::string last;
  std::string files;
  for (const nlohmann::json& entry : entries) {
    if (!entry.is_object()) throw std::runtime_error("an entry is not an object");
    std::string fired = StringField(entry, "last_fired");
    last = std::max(last, fired);  // "yyyy/mm/dd hh:mm:ss" sorts as text
    files += "  " + TerminalSafe(StringField(entry, "file")) + ":" +
             TerminalSafe(StringField(entry, "state"));
  }
  const nlohmann::json& queue = doc.at("mail_queue_length");
  if (!queue.is_number_integer()) throw std::runtime_error("mail_queue_length is not a number");
  return agent.ToString() + "  queue=" + std::to_string(queue.get<int64_t>()) +
         "  last=" + (last.empty() ? std::string("none") : TerminalSafe(last)) + files;
}

}  // namespace

int DiscoverCommand(const ConsoleOptions& options, std::ostream& out, std::ostream& err) {
  std::vector<Agent> agents;
  std::string error;
  if (!Discover(options.broadcast, kAgentPort, options.timeout, &agents, &error)) {
    err << "scanlantern-console: " << error << "\n";
    return kExitUnreachable;
  }
  if (options.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const Agent& a : agents) list.push_back({{"address", a.address}, {"host", a.host_name}});
    out << list.dump() << "\n";
  } else {
    for (const Agent& a : agents) {
      std::string address = a.address;
      address.resize(std::max<size_t>(address.size(), 15), ' ');
      out << address << "  " << a.host_name << "\n";
    }
  }
  return kExitOk;
}

int GetCommand(const ConsoleOptions& options, const HostPort& agent, const std::string& file,
               std::ostream& out, std::ostream& err) {
  Reply reply = Request(options, agent, "GET", "/GetWatchSetting.cgi");
  if (reply.exit != kExitOk) {
    err << "scanlantern-console: " << agent.ToString() << ": " << reply.error << "\n";
    return reply.exit;
  }
  std::string text = options.raw ? reply.answer.body : SettingsTextToUtf8(reply.answer.body);
  if (file.empty()) {
    out << ForOutput(std::move(text));
    return kExitOk;
  }
  std::ofstream f(file, std::ios::binary | std::ios::trunc);
  f << text;
  f.close();
  if (!f) {
    err << "scanlantern-console: cannot write " << file << "\n";
    return kExitUsage;
  }
  return kExitOk;
}

int PutCommand(const ConsoleOptions& options, const HostPort& agent, const std::string& file,
               std::ostream& out, std::ostream& err) {
  std::ifstream f(file, std::ios::binary);
  std::string text(static_cast<size_t>(kMaxListFile) + 1, '\0');
  f.read(text.data(), kMaxListFile + 1);
  if (f.bad() || (!f && !f.eof())) {
    err << "scanlantern-console: cannot read " << file << "\n";
    return kExitUsage;
  }
  text.resize(static_cast<size_t>(f.gcount()));
  if (static_cast<std::streamsize>(text.size()) > kMaxListFile) {
    err << "scanlantern-console: " << file << " is larger than 8 MiB\n";
    return kExitUsage;
  }
  PostedList list = PrepareWatchList(text, options.raw, file);
  if (!list.problems.empty()) {
    for (const SettingsProblem& p : list.problems) out << TerminalSafe(p.Format()) << "\n";
    return kExitRefused;
  }
  Reply reply = Request(options, agent, "POST", "/PostWatchSetting.cgi", list.body);
  if (reply.exit != kExitOk) {
    err << "scanlantern-console: " << agent.ToString() << ": " << reply.error << "\n";
    return reply.exit;
  }
  out << agent.ToString() << ": " << reply.answer.status << " " << reply.answer.reason << "\n";
  if (!reply.answer.body.empty()) out << ForOutput(reply.answer.body) << "\n";
  return kExitOk;
}

int StatusCommand(const ConsoleOptions& options, const std::vector<HostPort>& agents,
                  std::ostream& out, std::ostream& err) {
  int worst = kExitOk;
  for (const HostPort& agent : agents) {
    Reply reply = Request(options, agent, "GET", "/Status.json");
    if (reply.exit == kExitUsage) {
      err << "scanlantern-console: " << reply.error << "\n";
      return kExitUsage;
    }
    std::string line;
    if (reply.exit == kExitOk) {
      try {
        line = StatusLine(agent, reply.answer.body);
      } catch (const std::exception& e) {
        reply.exit = kExitUnreachable;
        reply.error = std::string("no usable status: ") + e.what();
      }
    }
    if (reply.exit != kExitOk) line = agent.ToString() + "  error: " + reply.error;
    out << line << "\n";
    worst = std::max(worst, reply.exit);
  }
  return worst;
}

}  // namespace sl
