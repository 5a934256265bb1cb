#include "lib/cloud.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "lib/pbjson.h"
#include "utils/timescale.h"

namespace cloudsim {
namespace {

constexpr int64_t kReconnectWaitMs = 100;

struct ModeName {
  ReplyMode mode;
  const char* name;
};
constexpr ModeName kModes[] = {
    {ReplyMode::kReply, "reply"},
    {ReplyMode::kDrop, "drop"},
    {ReplyMode::kNoResponders, "no_responders"},
    {ReplyMode::kDelay, "delay"},
    {ReplyMode::kGarbage, "garbage"},
    {ReplyMode::kTruncate, "truncate"},
    {ReplyMode::kRaw, "raw"},
};

struct MsgOwner {
  void operator()(natsMsg* m) const { natsMsg_Destroy(m); }
};
using MsgPtr = std::unique_ptr<natsMsg, MsgOwner>;

Headers MessageHeaders(natsMsg* msg) {
  Headers out;
  const char** keys = nullptr;
  int count = 0;
  if (natsMsgHeader_Keys(msg, &keys, &count) != NATS_OK) return out;
  for (int i = 0; i < count; ++i) {
    const char** values = nullptr;
    int n = 0;
    if (natsMsgHeader_Values(msg, keys[i], &values, &n) == NATS_OK) {
      for (int k = 0; k < n; ++k) out.emplace_back(keys[i], values[k]);
      free(values);
    }
  }
  free(keys);
  return out;
}

JsonPtr HeadersJson(const Headers& headers) {
  JsonPtr obj(json_object_new_object());
  for (const auto& [k, v] : headers) {
    json_object_object_add(obj.get(), k.c_str(), json_object_new_string(v.c_str()));
  }
  return obj;
}

std::string Garbage() {
  static std::mt19937 rng(std::random_device{}());
  std::string out(16 + rng() % 48, '\0');
  for (char& c : out) c = static_cast<char>(rng() & 0xFF);
  return out;
}

}  // namespace

bool ParseReplyMode(const std::string& text, ReplyMode* mode) {
  for (const ModeName& m : kModes) {
    if (text == m.name) {
      *mode = m.mode;
      return true;
    }
  }
  return false;
}

const char* ReplyModeName(ReplyMode mode) {
  for (const ModeName& m : kModes) {
    if (m.mode == mode) return m.name;
  }
  return "reply";
}

Cloud::Cloud(RecordStore& records, EventLoop& loop) : records_(records), loop_(loop) {}

Cloud::~Cloud() {
  Close();
}

bool Cloud::Connect(const Options& options, std::string* error) {
  natsOptions* opts = nullptr;
  natsStatus s = natsOptions_Create(&opts);
  // A comma-separated list is a cluster: every member given as a server of its own (the
  // library takes a single URL only through natsOptions_SetURL).
  std::vector<std::string> urls;
  for (size_t start = 0; start <= options.url.size();) {
    size_t comma = std::min(options.url.find(',', start), options.url.size());
    urls.push_back(options.url.substr(start, comma - start));
    start = comma + 1;
  }
  std::vector<const char*> servers;
  for (const std::string& url : urls) servers.push_back(url.c_str());
  if (s == NATS_OK) {
    s = natsOptions_SetServers(opts, servers.data(), static_cast<int>(servers.size()));
  }
  if (s == NATS_OK) s = natsOptions_SetName(opts, "cloudsim");
  // The simulator never records its own pushes.
  if (s == NATS_OK) s = natsOptions_SetNoEcho(opts, true);
  if (s == NATS_OK) s = natsOptions_SetMaxReconnect(opts, -1);
  if (s == NATS_OK) s = natsOptions_SetReconnectWait(opts, kReconnectWaitMs);
  if (s == NATS_OK && options.tls) s = natsOptions_SetSecure(opts, true);
  if (s == NATS_OK && !options.caFile.empty()) {
    s = natsOptions_LoadCATrustedCertificates(opts, options.caFile.c_str());
  }
  if (s == NATS_OK) s = natsConnection_Connect(&nc_, opts);
  natsOptions_Destroy(opts);
  if (s != NATS_OK) {
    *error = std::string("connect to ") + options.url + ": " + natsStatus_GetText(s);
    nc_ = nullptr;
    return false;
  }
  return true;
}

void Cloud::Close() {
  std::vector<std::unique_ptr<Binding>> bindings;
  {
    std::lock_guard lock(mutex_);
    bindings.swap(bindings_);
  }
  for (auto& b : bindings) Unsubscribe(*b);
  if (monitor_) Unsubscribe(*monitor_);
  if (nc_) {
    natsConnection_Destroy(nc_);
    nc_ = nullptr;
  }
}

bool Cloud::Connected() {
  return nc_ && natsConnection_Status(nc_) == NATS_CONN_STATUS_CONNECTED;
}

bool Cloud::Subscribe(Binding& binding, std::string* error) {
  natsStatus s = natsConnection_Subscribe(&binding.subscription, nc_, binding.subject.c_str(),
                                          OnMessage, &binding);
  if (s == NATS_OK) s = natsSubscription_SetPendingLimits(binding.subscription, -1, -1);
  if (s != NATS_OK) {
    *error = "subscribe " + binding.subject + ": " + natsStatus_GetText(s);
    return false;
  }
  // The subscription is known to the server before anything is pushed.
  natsConnection_FlushTimeout(nc_, 2000);
  return true;
}

void Cloud::Unsubscribe(Binding& binding) {
  if (!binding.subscription) return;
  natsSubscription_Unsubscribe(binding.subscription);
  natsSubscription_Destroy(binding.subscription);
  binding.subscription = nullptr;
  // The interest is gone at the server before the control API answers.
  if (nc_) natsConnection_FlushTimeout(nc_, 2000);
}

bool Cloud::AddService(std::unique_ptr<Service> service, std::string* error) {
  if (!nc_) {
    *error = "not connected";
    return false;
  }
  std::lock_guard lock(mutex_);
  for (const std::string& subject : service->subjects()) {
    auto binding = std::make_unique<Binding>(Binding{this, service.get(), subject});
    if (!Subscribe(*binding, error)) return false;
    bindings_.push_back(std::move(binding));
  }
  services_.push_back(std::move(service));
  return true;
}

Service* Cloud::FindService(const std::string& name) {
  std::lock_guard lock(mutex_);
  for (auto& s : services_) {
    if (s->name() == name) return s.get();
  }
  return nullptr;
}

std::vector<std::string> Cloud::ServiceNames() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (auto& s : services_) out.push_back(s->name());
  return out;
}

bool Cloud::SetMode(const std::string& name, const ModeSettings& settings, std::string* error) {
  std::lock_guard lock(mutex_);
  Service* service = nullptr;
  for (auto& s : services_) {
    if (s->name() == name) service = s.get();
  }
  if (!service) {
    *error = "no service " + name;
    return false;
  }
  modes_[name] = settings;
  // No responders: the subject has no subscriber at all while the mode lasts.
  for (auto& b : bindings_) {
    if (b->service != service) continue;
    if (settings.mode == ReplyMode::kNoResponders) {
      Unsubscribe(*b);
    } else if (!b->subscription && !Subscribe(*b, error)) {
      return false;
    }
  }
  return true;
}

ModeSettings Cloud::Mode(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto it = modes_.find(name);
  return it == modes_.end() ? ModeSettings{} : it->second;
}

void Cloud::Reset() {
  std::vector<std::string> names = ServiceNames();
  std::string ignored;
  for (const std::string& name : names) {
    SetMode(name, ModeSettings{}, &ignored);
    if (Service* s = FindService(name)) s->ResetReply();
  }
}

bool Cloud::MonitorAll(std::string* error) {
  monitorService_ = MakeService("sink", "monitor");
  monitor_ = std::make_unique<Binding>(Binding{this, monitorService_.get(), ">"});
  return Subscribe(*monitor_, error);
}

ModeSettings Cloud::TakeMode(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto it = modes_.find(name);
  if (it == modes_.end()) return ModeSettings{};
  ModeSettings current = it->second;
  if (it->second.count > 0 && --it->second.count == 0) it->second = ModeSettings{};
  return current;
}

void Cloud::OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
  MsgPtr owned(msg);
  auto* binding = static_cast<Binding*>(closure);
  binding->cloud->Handle(*binding, msg);
}

void Cloud::Handle(const Binding& binding, natsMsg* msg) {
  Service& service = *binding.service;
  Inbound in;
  in.subject = natsMsg_GetSubject(msg);
  if (const char* reply = natsMsg_GetReply(msg)) in.reply = reply;
  in.headers = MessageHeaders(msg);
  in.payload.assign(natsMsg_GetData(msg) ? natsMsg_GetData(msg) : "",
                    static_cast<size_t>(natsMsg_GetDataLength(msg)));

  JsonPtr record(json_object_new_object());
  json_object_object_add(
      record.get(), "kind",
      json_object_new_string(in.reply.empty() ? "nats.publish" : "nats.request"));
  json_object_object_add(record.get(), "conn", json_object_new_string("sim"));
  json_object_object_add(record.get(), "service", json_object_new_string(service.name().c_str()));
  json_object_object_add(record.get(), "subject", json_object_new_string(in.subject.c_str()));
  if (!in.reply.empty()) {
    json_object_object_add(record.get(), "reply", json_object_new_string(in.reply.c_str()));
  }
  json_object_object_add(record.get(), "headers", HeadersJson(in.headers).release());
  const ProtobufCMessageDescriptor* type = service.requestType();
  json_object_object_add(
      record.get(), "type",
      json_object_new_string(type ? type->short_name : service.requestTypeName().c_str()));
  json_object_object_add(record.get(), "size", json_object_new_int64(in.payload.size()));
  json_object_object_add(record.get(), "payload_b64",
                         json_object_new_string(Base64Encode(in.payload).c_str()));
  std::string decodeError;
  JsonPtr decoded;
  if (type) {
    decoded = DecodeToJson(*type, in.payload, &decodeError);
  } else if (service.requestTypeName() == "json") {
    decoded = ParseJson(in.payload);
    if (!decoded) decoded = Json(json_object_new_string_len(in.payload.data(), in.payload.size()));
  } else {
    decoded = Json(json_object_new_string_len(in.payload.data(), in.payload.size()));
  }
  in.decoded = decoded.get();
  std::string headerError = service.CheckHeaders(in.headers);
  json_object_object_add(
      record.get(), "header_error",
      headerError.empty() ? nullptr : json_object_new_string(headerError.c_str()));
  json_object_object_add(
      record.get(), "decode_error",
      decodeError.empty() ? nullptr : json_object_new_string(decodeError.c_str()));

  // Answer before recording, so the agent is never held up by the record file.
  JsonPtr answered;
  if (!in.reply.empty()) {
    ModeSettings mode = TakeMode(service.name());
    std::optional<std::string> payload;
    int64_t delayMs = 0;
    switch (mode.mode) {
      case ReplyMode::kReply:
      case ReplyMode::kNoResponders:
        payload = service.Reply(in);
        break;
      case ReplyMode::kDelay:
        payload = service.Reply(in);
        delayMs = mode.delayMs;
        break;
      case ReplyMode::kGarbage:
        payload = Garbage();
        break;
      case ReplyMode::kTruncate:
        payload = service.Reply(in);
        if (payload) payload->resize(payload->size() / 2);
        break;
      case ReplyMode::kRaw:
        payload = mode.raw;
        break;
      case ReplyMode::kDrop:
        break;
    }
    answered = Json(json_object_new_object());
    json_object_object_add(answered.get(), "mode",
                           json_object_new_string(ReplyModeName(mode.mode)));
    if (payload) {
      const ProtobufCMessageDescriptor* replyType = service.replyType();
      json_object_object_add(answered.get(), "type",
                             json_object_new_string(replyType ? replyType->short_name : "raw"));
      json_object_object_add(answered.get(), "size", json_object_new_int64(payload->size()));
      json_object_object_add(answered.get(), "after_ms", json_object_new_int64(delayMs));
      if (delayMs > 0) {
        loop_.Post([this, reply = in.reply, bytes = *payload] { Publish(reply, "", bytes, {}); },
                   zc::Scaled(std::chrono::milliseconds(delayMs)));
      } else {
        Publish(in.reply, "", *payload, {});
      }
    }
  }
  json_object_object_add(record.get(), "answered", answered.release());
  json_object_object_add(record.get(), "decoded", decoded.release());
  records_.Add(std::move(record));
}

natsStatus Cloud::Publish(const std::string& subject, const std::string& reply,
                          const std::string& payload, const Headers& headers) {
  if (!nc_) return NATS_CONNECTION_CLOSED;
  natsMsg* raw = nullptr;
  natsStatus s = natsMsg_Create(&raw, subject.c_str(), reply.empty() ? nullptr : reply.c_str(),
                                payload.data(), static_cast<int>(payload.size()));
  if (s != NATS_OK) return s;
  MsgPtr msg(raw);
  for (const auto& [k, v] : headers) {
    s = natsMsgHeader_Add(raw, k.c_str(), v.c_str());
    if (s != NATS_OK) return s;
  }
  return natsConnection_PublishMsg(nc_, raw);
}

Cloud::PushResult Cloud::Push(const std::string& subject, const std::string& payload,
                              const Headers& headers, bool request,
                              std::chrono::milliseconds timeout) {
  PushResult result;
  if (!nc_) {
    result.status = NATS_CONNECTION_CLOSED;
    return result;
  }
  if (!request) {
    result.status = Publish(subject, "", payload, headers);
    if (result.status == NATS_OK) result.status = natsConnection_FlushTimeout(nc_, 2000);
    return result;
  }
  natsMsg* raw = nullptr;
  result.status = natsMsg_Create(&raw, subject.c_str(), nullptr, payload.data(),
                                 static_cast<int>(payload.size()));
  if (result.status != NATS_OK) return result;
  MsgPtr msg(raw);
  for (const auto& [k, v] : headers) natsMsgHeader_Add(raw, k.c_str(), v.c_str());
  natsMsg* rawReply = nullptr;
  result.status = natsConnection_RequestMsg(&rawReply, nc_, raw, timeout.count());
  MsgPtr reply(rawReply);
  if (result.status == NATS_OK && reply) {
    result.answered = true;
    result.reply.assign(natsMsg_GetData(rawReply) ? natsMsg_GetData(rawReply) : "",
                        static_cast<size_t>(natsMsg_GetDataLength(rawReply)));
    result.replyHeaders = MessageHeaders(rawReply);
  }
  return result;
}

}  // namespace cloudsim
