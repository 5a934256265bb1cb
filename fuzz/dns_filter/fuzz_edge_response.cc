// Reputation answers as untrusted input: four lookups are pending on fake stations and the input
// is delivered as an answer (half raw bytes, half a message packed from fuzzer-chosen fields).
// Nothing crashes, each lookup is finished at most once, and every verdict is a known decision.
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "config/profileutils.h"
#include "dns/filter/edge_decision.h"
#include "dns/filter/zuncoredns.h"
#include "utils/log.h"

namespace {

std::map<uint64_t, int> gFinished;
std::vector<uint64_t> gSeqnos;

void Setup() {
  LogLevelSet(LL_CRIT);
  zc::profiles::SetAnswerSink([](const char*, const char*) {});
  zc::filter::SetFlagsForTest(true, true, false);
  zc::filter::SetVerdictSinkForTest([](zc::dns::DnsRequestHandle h, zc::dns::DnsVerdict v) {
    if (++gFinished[h.id] > 1) abort();
    int d = v.decision;
    if (d != 1 && (d < 3 || d > 7)) abort();
  });
  zc::filter::SetEdgePublisherForTest(
      [](const char*, const char*, const std::vector<uint8_t>& payload) {
        auto resp = zc::pb::Unpack<Zun__Edge__EDGEDNSRESP>(payload.data(), payload.size());
        if (resp) gSeqnos.push_back(resp->seqno);
        return 0;
      });
  zc::filter::SetMacResolverForTest([](const sockaddr_storage& c) {
    return std::string("02:00:00:00:00:0") + std::to_string(c.ss_family % 4);
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = (Setup(), true);
  (void)once;
  gFinished.clear();
  gSeqnos.clear();
  zc::filter::Pending().TakeAll();
  for (uint64_t id = 1; id <= 4; ++id) {
    zc::dns::VerdictQuery q;
    q.handle = {1, id};
    q.domain = "site" + std::to_string(id) + ".test";
    q.client.ss_family = static_cast<sa_family_t>(id);
    zc::filter::SetFlagsForTest(true, true, false);
    gInternetSecurityEnabled = true;  // every lookup goes pending
    zc::filter::Hook().Ask(q);
  }
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    std::vector<uint8_t> raw = in.ConsumeRemainingBytes<uint8_t>();
    EdgeResponseCallBack(raw.data(), static_cast<int>(raw.size()));
  } else {
    auto resp = zc::pb::Make<Zun__Edge__EDGEDNSRESP>();
    std::vector<uint32_t> cats;
    size_t n = in.ConsumeIntegralInRange<size_t>(0, 8);
    for (size_t i = 0; i < n; ++i) cats.push_back(in.ConsumeIntegral<uint32_t>());
    resp.n_category_id = cats.size();
    resp.category_id = cats.data();
    resp.sec_category_id = in.ConsumeIntegral<uint32_t>();
    std::string app = in.ConsumeRandomLengthString(300);
    resp.app = app.data();
    size_t pick = in.ConsumeIntegralInRange<size_t>(0, gSeqnos.size());
    resp.seqno = pick < gSeqnos.size() ? gSeqnos[pick] : in.ConsumeIntegral<uint64_t>();
    std::vector<uint8_t> packed = zc::pb::Pack(resp);
    EdgeResponseCallBack(packed.data(), static_cast<int>(packed.size()));
    EdgeResponseCallBack(packed.data(), static_cast<int>(packed.size()));
  }
  zc::filter::Pending().TakeAll();
  return 0;
}
