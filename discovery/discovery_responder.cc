#include "discovery/discovery_responder.h"

#include <exception>
#include <string>
#include <utility>

namespace sl {

namespace {
constexpr char kFailureHeading[] = "UdpGaugeUDPRead(DiskMeterd Server Call)";
}  // namespace

std::optional<std::string> DiscoveryReply(std::string_view datagram, std::string_view host_name) {
  if (datagram != kDiscoveryQuestion) return std::nullopt;
  std::string reply = kDiscoveryGreeting;
  reply.append(host_name);
  return reply;
}

DiscoveryResponder::DiscoveryResponder(const EventLog& log, HostNameSource host_name)
    : log_(log), host_name_(std::move(host_name)) {}

void DiscoveryResponder::UDPServerUDPRead(TUDPServer& /*sender*/, std::string_view data,
                                          TSocketHandle& binding) {
  try {
    if (data != kDiscoveryQuestion) return;  // the common case, cheaply
    if (binding.PeerPort == 0) return;       // nowhere to send a reply
    AddressRateLimiter::Decision decision =
        limiter_.Admit(binding.PeerIP, AddressRateLimiter::Clock::now());
    if (!decision.allow) {
      drops_.fetch_add(1, std::memory_order_relaxed);
      if (decision.note) {
        log_.LogEvent(kEventInformation, "Discovery questions from " + binding.PeerIP + " beyond " +
                                             std::to_string(kReplies) +
                                             " a second are not answered.");
      }
      return;
    }
    std::string host_name;
    try {
      host_name = host_name_ ? host_name_() : std::string();
    } catch (const std::exception&) {
      host_name.clear();  // the greeting alone is still an answer
    }
    std::optional<std::string> reply = DiscoveryReply(data, host_name);
    binding.SendTo(binding.PeerIP, binding.PeerPort, *reply);
    replies_.fetch_add(1, std::memory_order_relaxed);
  } catch (const std::exception& e) {
    drops_.fetch_add(1, std::memory_order_relaxed);
    try {
      log_.LogEvent(kEventRemoteControlFailure, std::string(kFailureHeading) + "\n" + e.what());
    } catch (const std::exception&) {
      // Without a log there is nobody to tell; the next datagram is served.
    }
  }
}

TUDPServer::UDPReadHook DiscoveryResponder::Handler() {
  return [this](TUDPServer& sender, std::string_view data, TSocketHandle& binding) {
    UDPServerUDPRead(sender, data, binding);
  };
}

}  // namespace sl
