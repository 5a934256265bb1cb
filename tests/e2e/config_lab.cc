#include "e2e/config_lab.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/nats_fixture.h"

namespace e2e {
namespace {

double TimeScale() {
  const char* s = getenv("ZUNCORE_TIME_SCALE");
  double v = s ? atof(s) : 1;
  return v > 0 ? v : 1;
}

}  // namespace

std::string Quote(const std::string& text) {
  JsonPtr s(json_object_new_string_len(text.data(), static_cast<int>(text.size())));
  return cloudsim::JsonText(s.get());
}

void StartSignedOn(Lab& lab) {
  zctest::AgentRun& agent = lab.agent();
  agent.WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  agent.Start();
  auto done = [&] { return lab.CountLog("ZUNCORE_SUBMODULE_INIT_DONE") >= 1; };
  ASSERT_TRUE(zctest::WaitFor(done, kLong)) << agent.Output();
  ASSERT_TRUE(lab.WaitLog("Listening on 'zt.fw.now.025a00000001'")) << agent.Output();
}

PushOptions For(const std::string& transid) {
  PushOptions o;
  o.transid = transid;
  return o;
}

PushOptions Mutated(const std::string& mutate, const std::string& transid) {
  PushOptions o = For(transid);
  o.mutate = mutate;
  return o;
}

PushOptions Raw(const std::string& b64, const std::string& transid) {
  PushOptions o = For(transid);
  o.rawB64 = b64;
  return o;
}

PushOptions NoAnswer() {
  PushOptions o;
  o.answers = 0;
  return o;
}

std::vector<std::string> Ask(Lab& lab, const std::string& to, const std::string& envelopeJson,
                             const PushOptions& o) {
  std::string body = "{\"to\": " + Quote(to);
  body += o.rawB64.empty() && !envelopeJson.empty() ? ", \"envelope\": " + envelopeJson
                                                    : ", \"raw_b64\": " + Quote(o.rawB64);
  if (!o.mutate.empty()) body += ", \"mutate\": " + o.mutate;
  if (o.answers > 0) {
    // Agent time: 20 s real at the default scale, well inside the control server's patience.
    body += ", \"await\": {\"count\": " + std::to_string(o.answers) +
            ", \"timeout_ms\": " + std::to_string(static_cast<long>(20000 / TimeScale())) +
            (o.transid.empty() ? "" : ", \"transid\": " + Quote(o.transid)) + "}";
  }
  body += "}";
  JsonPtr answer = lab.cloud().CallJson("POST", "/v1/push", body);
  std::vector<std::string> out;
  json_object* list = cloudsim::Member(answer.get(), "responses");
  for (size_t i = 0; list && i < json_object_array_length(list); ++i) {
    out.push_back(Text(json_object_array_get_idx(list, i), "decoded.err_msg"));
  }
  if (out.size() < o.answers) {
    ADD_FAILURE() << "push to " << to << " answered " << cloudsim::JsonText(answer.get());
  }
  return out;
}

std::string Command(const std::string& transid, const std::string& command,
                    const std::string& data) {
  return "{\"_cmd\": {\"transid\": " + Quote(transid) + ", \"command\": " + Quote(command) +
         ", \"data\": " + Quote(data) + "}}";
}

size_t AnswersOf(Lab& lab, const std::string& transid) {
  return lab.Count("type=CONFIGRESP&transid=" + transid);
}

std::string Flash(Lab& lab, const std::string& name) {
  std::istringstream in(lab.agent().Read("/sim/state/flash.db"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
  }
  return "";
}

size_t Pwned(const std::string& root) {
  size_t n = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (e.path().filename().string().rfind("pwned", 0) == 0) ++n;
  }
  return n;
}

std::string ShellPayload(const std::string& root, int n) {
  std::string f = root + "/pwned" + std::to_string(n);
  switch (n % 3) {
    case 0:
      return "$(touch " + f + ")";
    case 1:
      return "`touch " + f + "`";
    default:
      return "x;touch " + f;
  }
}

}  // namespace e2e
