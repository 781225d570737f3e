// DiscoveryResponder: answers the discovery question on the UDP port.
//
// A management console finds the agents on its network by sending the fixed
// question as one datagram; every agent answers the sender, unicast from the
// port the question came in on, with the fixed greeting followed by its host
// name. Any other datagram is ignored without a trace, and so is a datagram
// from port 0, which no reply can reach. Answers to one source address are
// limited by an AddressRateLimiter (the source may be forged); questions
// beyond the limit are dropped with a log entry a minute at most per
// address. A reply that cannot be sent is written to the event log with
// code 30. The handler runs on the UDP server's listener thread and reads
// no shared settings.
#ifndef SL_DISCOVERY_DISCOVERY_RESPONDER_H_
#define SL_DISCOVERY_DISCOVERY_RESPONDER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/address_rate_limiter.h"
#include "core/event_log.h"
#include "core/host_name.h"
#include "discovery/udp_server.h"
#include "net/socket_handle.h"

namespace sl {

inline constexpr char kDiscoveryQuestion[] = "Are You ScanLantern Agent?";
inline constexpr char kDiscoveryGreeting[] = "I am ScanLantern Agent.|";

// The reply to one datagram: the greeting and host_name when the datagram is
// exactly the question (whole length, same case), else nothing.
std::optional<std::string> DiscoveryReply(std::string_view datagram, std::string_view host_name);

class DiscoveryResponder {
 public:
  using HostNameSource = std::function<std::string()>;
  // Answers per address and second.
  static constexpr int kReplies = 10;

  // log must outlive the responder. host_name is asked once per question;
  // by default it is the host name (HostName).
  explicit DiscoveryResponder(const EventLog& log, HostNameSource host_name = HostName);

  // The OnUDPRead handler: answers the question to binding's PeerIP and
  // PeerPort through binding. Never throws.
  void UDPServerUDPRead(TUDPServer& sender, std::string_view data, TSocketHandle& binding);
  // A hook bound to this responder, for TUDPServer::OnUDPRead.
  TUDPServer::UDPReadHook Handler();

  // Since the start: questions answered, and questions left unanswered
  // (beyond the limit of their address, or the reply could not be sent).
  uint64_t Replies() const { return replies_.load(std::memory_order_relaxed); }
  uint64_t Drops() const { return drops_.load(std::memory_order_relaxed); }

 private:
  const EventLog& log_;
  HostNameSource host_name_;
  AddressRateLimiter limiter_{kReplies, std::chrono::seconds(1)};
  std::atomic<uint64_t> replies_{0};
  std::atomic<uint64_t> drops_{0};
};

}  // namespace sl

#endif
