// A cloud service of the simulator: the subjects it listens on, how their payloads decode, the
// headers it expects, and what it answers. Each concrete service lives in its own file under
// services/ and is listed once in services/registry.cc.
#pragma once

#include <protobuf-c/protobuf-c.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lib/json_util.h"

namespace cloudsim {

using Headers = std::vector<std::pair<std::string, std::string>>;

// A message from the agent as the simulator received it.
struct Inbound {
  std::string subject;
  std::string reply;
  Headers headers;
  std::string payload;
  // Decoded form (nullptr when the payload is text or did not decode).
  const json_object* decoded = nullptr;
};

class Service {
 public:
  explicit Service(std::string name) : name_(std::move(name)) {}
  virtual ~Service() = default;

  const std::string& name() const { return name_; }

  // Reads the profile entry: "subjects" (or "subject"), "request_type" (a message name, "json"
  // or "text"), "reply_type", "reply" (JSON form) or "reply_raw_b64", "headers" (expected
  // header values: exact text, "*" for any, "uuid" for a trace id).
  virtual bool Configure(const json_object* config, std::string* error);
  // The answer to a request in the normal mode; nullopt sends nothing.
  virtual std::optional<std::string> Reply(const Inbound& request);
  // Replaces the normal answer: JSON form of the reply type, or {"raw_b64": ...}.
  bool SetReply(const json_object* reply, std::string* error);
  // The profile's answer with changes merged in (JSON form) becomes the normal answer.
  bool MergeReply(const json_object* changes, std::string* error);
  // Back to the profile's answer (queued one-shot answers are dropped).
  void ResetReply();
  // One-shot answers (JSON form merged over the profile's, or {"raw_b64": ...}), used one per
  // request in order before the normal answer.
  bool QueueReplies(const json_object* list, std::string* error);
  size_t QueuedReplies() const;

  const std::vector<std::string>& subjects() const { return subjects_; }
  // Decoder of the payloads (nullptr for text and JSON payloads).
  const ProtobufCMessageDescriptor* requestType() const { return requestType_; }
  const std::string& requestTypeName() const { return requestTypeName_; }
  const ProtobufCMessageDescriptor* replyType() const { return replyType_; }
  // Expected header problems of a message, empty when it carries what this service expects.
  std::string CheckHeaders(const Headers& headers) const;

 protected:
  // The reply bytes for the next request: a queued one-shot answer, else the configured one.
  std::optional<std::string> ConfiguredReply();

 private:
  std::string name_;
  std::vector<std::string> subjects_;
  std::string requestTypeName_;
  const ProtobufCMessageDescriptor* requestType_ = nullptr;
  const ProtobufCMessageDescriptor* replyType_ = nullptr;
  std::map<std::string, std::string> expectedHeaders_;
  mutable std::mutex mutex_;
  std::optional<std::string> profileReply_;
  JsonPtr profileReplyJson_;
  std::optional<std::string> reply_;
  std::deque<std::string> queued_;
};

// Creates a service of a kind named in the profile ("responder", "sink", "event", ...).
std::unique_ptr<Service> MakeService(const std::string& kind, const std::string& name);

}  // namespace cloudsim
