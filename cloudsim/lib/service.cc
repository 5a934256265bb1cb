#include "lib/service.h"

#include <cctype>

#include "lib/pbjson.h"
#include "proto/registry.h"

namespace cloudsim {
namespace {

bool IsTraceId(const std::string& v) {
  if (v.size() != 36) return false;
  for (size_t i = 0; i < v.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? v[i] != '-'
             : !(isdigit(static_cast<unsigned char>(v[i])) || (v[i] >= 'a' && v[i] <= 'f'))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool Service::Configure(const json_object* config, std::string* error) {
  subjects_.clear();
  if (auto one = StringMember(config, "subject")) subjects_.push_back(*one);
  if (json_object* list = Member(config, "subjects")) {
    for (size_t i = 0; i < json_object_array_length(list); ++i) {
      subjects_.push_back(json_object_get_string(json_object_array_get_idx(list, i)));
    }
  }
  requestTypeName_ = StringMember(config, "request_type").value_or("text");
  if (requestTypeName_ != "text" && requestTypeName_ != "json") {
    requestType_ = zc::pb::FindWireType(requestTypeName_);
    if (!requestType_) {
      *error = name_ + ": unknown request_type " + requestTypeName_;
      return false;
    }
  }
  if (auto replyName = StringMember(config, "reply_type")) {
    replyType_ = zc::pb::FindWireType(*replyName);
    if (!replyType_) {
      *error = name_ + ": unknown reply_type " + *replyName;
      return false;
    }
  }
  expectedHeaders_.clear();
  if (json_object* headers = Member(config, "headers")) {
    json_object_object_foreach(headers, key, value) {
      expectedHeaders_[key] = json_object_get_string(value);
    }
  }
  reply_.reset();
  profileReply_.reset();
  profileReplyJson_.reset();
  if (json_object* reply = Member(config, "reply")) {
    if (!SetReply(reply, error)) return false;
    profileReply_ = reply_;
    profileReplyJson_ = JsonRef(reply);
  } else if (auto raw = StringMember(config, "reply_raw_b64")) {
    profileReply_ = Base64Decode(*raw);
    reply_ = profileReply_;
  }
  return true;
}

std::optional<std::string> Service::Reply(const Inbound&) {
  return ConfiguredReply();
}

bool Service::SetReply(const json_object* reply, std::string* error) {
  std::string bytes;
  if (auto raw = StringMember(reply, "raw_b64")) {
    auto decoded = Base64Decode(*raw);
    if (!decoded) {
      *error = name_ + ": bad raw_b64";
      return false;
    }
    bytes = *decoded;
  } else {
    if (!replyType_) {
      *error = name_ + ": no reply_type to encode the reply";
      return false;
    }
    if (!EncodeFromJson(*replyType_, reply, &bytes, error)) return false;
  }
  std::lock_guard lock(mutex_);
  reply_ = bytes;
  return true;
}

bool Service::MergeReply(const json_object* changes, std::string* error) {
  // Raw bytes, or a service without a profile answer: nothing to merge over.
  if (Member(changes, "raw_b64") || !profileReplyJson_) return SetReply(changes, error);
  JsonPtr merged = MergeJson(profileReplyJson_.get(), changes);
  if (!merged) {
    *error = name_ + ": nothing to merge";
    return false;
  }
  return SetReply(merged.get(), error);
}

void Service::ResetReply() {
  std::lock_guard lock(mutex_);
  reply_ = profileReply_;
  queued_.clear();
}

bool Service::QueueReplies(const json_object* list, std::string* error) {
  if (!list || !json_object_is_type(list, json_type_array)) {
    *error = name_ + ": replies must be a list";
    return false;
  }
  std::optional<std::string> normal;
  {
    std::lock_guard lock(mutex_);
    normal = reply_;
  }
  std::vector<std::string> encoded;
  for (size_t i = 0; i < json_object_array_length(list); ++i) {
    json_object* item = json_object_array_get_idx(list, i);
    if (!MergeReply(item, error)) return false;
    std::lock_guard lock(mutex_);
    if (reply_) encoded.push_back(*reply_);
  }
  std::lock_guard lock(mutex_);
  // MergeReply set the normal answer while encoding: put it back.
  reply_ = normal;
  for (std::string& e : encoded) queued_.push_back(std::move(e));
  return true;
}

size_t Service::QueuedReplies() const {
  std::lock_guard lock(mutex_);
  return queued_.size();
}

std::optional<std::string> Service::ConfiguredReply() {
  std::lock_guard lock(mutex_);
  if (!queued_.empty()) {
    std::string next = std::move(queued_.front());
    queued_.pop_front();
    return next;
  }
  return reply_;
}

std::string Service::CheckHeaders(const Headers& headers) const {
  std::string problems;
  for (const auto& [name, want] : expectedHeaders_) {
    const std::string* have = nullptr;
    for (const auto& [k, v] : headers) {
      if (k == name) have = &v;
    }
    bool ok = have && (want == "*" || (want == "uuid" ? IsTraceId(*have) : *have == want));
    if (!ok) {
      if (!problems.empty()) problems += "; ";
      problems += name + (have ? " is '" + *have + "', expected " + want : " missing");
    }
  }
  return problems;
}

}  // namespace cloudsim
