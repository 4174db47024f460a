// Control side of the stand-in DNS-SD library that the service-discovery
// tests load in place of the system's. It records every platform call,
// answers each request with a descriptor of a socket pair, and delivers the
// replies a test queues through that descriptor, so they reach the callbacks
// on the manager's thread just as the platform's would.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fakednssd {

struct Call {
  std::string function;  // "DNSServiceBrowse", "DNSServiceResolve", "DNSServiceRegister",
                         // "DNSServiceRefDeallocate"
  int request = 0;       // the request's number, from 1
  uint32_t flags = 0;
  uint32_t interfaceIndex = 0;
  std::string name;
  std::string type;
  bool domainGiven = false;
  std::string domain;
  bool hostGiven = false;
  uint16_t port = 0;  // exactly as passed (network byte order)
  std::string txt;    // the TXT record's bytes
};

// Forgets every call and failure; requests stay open.
void Reset();
std::vector<Call> Calls();
// The calls of one function.
std::vector<Call> CallsOf(const std::string& function);
// The next call of function (one of the three starting calls) fails with
// error and makes no request.
void FailNext(const std::string& function, int32_t error);
// The number of the request the last starting call made, 0 for none.
int LastRequest();
bool Deallocated(int request);
int OpenRequests();

// Replies, delivered by the next processing of the request.
void ReplyBrowse(int request, uint32_t flags, int32_t error, const std::string& name);
void ReplyResolve(int request, int32_t error, const std::string& fullName, const char* hostTarget,
                  uint16_t networkPort, const std::string& txt);
void ReplyRegister(int request, int32_t error, const std::string& name);

// TXT record bytes of these pairs, in order (a pair without "=" when the
// value is absent is not needed here).
std::string TXT(const std::vector<std::pair<std::string, std::string>>& entries);
// The keys and values of TXT record bytes, in order.
std::vector<std::pair<std::string, std::string>> ParseTXT(const std::string& bytes);

}  // namespace fakednssd
