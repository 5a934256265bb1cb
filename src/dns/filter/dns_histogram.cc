#include "dns/filter/dns_histogram.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "dns/filter/filter_keys.h"
#include "main/nats/nats_session.h"
#include "proto/messages.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/monitor.h"
#include "utils/paths.h"
#include "utils/timescale.h"
#include "utils/timeutil.h"

zc::histogram::Histogram DohHistoGram;
zc::histogram::Histogram EdgeHistoGram;

namespace zc::histogram {
namespace {

std::mutex gWorkerMutex;
WorkerSettings gSettings;  // guarded by gWorkerMutex
std::thread gWorker;
StopToken gStop;

void Fill(Zun__Metrics__HistoGram* h, const Counts& c) {
  h->tenmilliseccounter = static_cast<int32_t>(c[0]);
  h->twentymilliseccounter = static_cast<int32_t>(c[1]);
  h->thirtymilliseccounter = static_cast<int32_t>(c[2]);
  h->fortymilliseccounter = static_cast<int32_t>(c[3]);
  h->fiftymilliseccounter = static_cast<int32_t>(c[4]);
  h->sixtymilliseccounter = static_cast<int32_t>(c[5]);
  h->seventymilliseccounter = static_cast<int32_t>(c[6]);
  h->eightymilliseccounter = static_cast<int32_t>(c[7]);
  h->ninetymilliseccounter = static_cast<int32_t>(c[8]);
  h->hundredmilliseccounter = static_cast<int32_t>(c[9]);
  h->morethanhundredmilliseccounter = static_cast<int32_t>(c[10]);
}

void Dump(const char* label, const Histogram& h, const char* file) {
  std::string line = DumpLine(label, h.Snapshot());
  LogOut(LL_DEBUG, "%s", line.c_str());
  zc::WriteFileAtomic(zc::RootPath(file), line + "\n");
}

void WorkerBody() {
  LogOut(LL_INFO, "%s: Entering thread tid:%lu thread-gdb-pid:%d", "HistogramPublishWorker",
         static_cast<unsigned long>(pthread_self()), static_cast<int>(getpid()));
  for (uint64_t cycle = 1; !gStop.StopRequested(); ++cycle) {
    LogOut(LL_DEBUG, "%s: awake:%llu", "HistogramPublishWorker",
           static_cast<unsigned long long>(cycle));
    gHistogramThreadMonitor.Tick();
    if (UpdateDnsHistogram() != 0)
      LogOut(LL_ERR, "%s: UpdateDnsHistogram failed", "HistogramPublishWorker");
    WorkerSettings settings;
    {
      std::lock_guard lock(gWorkerMutex);
      settings = gSettings;
    }
    if (settings.cycle) settings.cycle();
    if (!SleepCounting(settings.interval, gHistogramThreadMonitor, &gStop)) break;
    LogOut(LL_DEBUG, "%s: sleep", "HistogramPublishWorker");
  }
}

}  // namespace

size_t BucketOf(int64_t ms) {
  if (ms <= 10) return 0;
  return static_cast<size_t>(std::min<int64_t>((ms - 1) / 10, kBuckets - 1));
}

Counts Histogram::Snapshot() const {
  Counts out{};
  for (size_t i = 0; i < kBuckets; ++i) out[i] = counters_[i].load(std::memory_order_relaxed);
  return out;
}

void Histogram::Clear() {
  for (auto& c : counters_) c.store(0, std::memory_order_relaxed);
}

std::string DumpLine(const char* label, const Counts& c) {
  char buffer[256];
  snprintf(buffer, sizeof buffer,
           "%s --> 10c:%u 20c:%u 30c:%u 40c:%u 50c:%u 60c:%u 70c:%u 80c:%u 90c:%u 100c:%u "
           ">100c:%u",
           label, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10]);
  return buffer;
}

void StartWorker(WorkerSettings settings) {
  std::lock_guard lock(gWorkerMutex);
  gSettings = std::move(settings);
  if (gWorker.joinable()) return;
  gStop.Reset();
  gHistogramThreadMonitor.expected = true;
  gWorker = std::thread(WorkerBody);
}

void StopWorker() {
  std::thread worker;
  {
    std::lock_guard lock(gWorkerMutex);
    worker = std::move(gWorker);
  }
  if (!worker.joinable()) return;
  gHistogramThreadMonitor.expected = false;
  gStop.RequestStop();
  worker.join();
}

bool WorkerRunning() {
  std::lock_guard lock(gWorkerMutex);
  return gWorker.joinable();
}

}  // namespace zc::histogram

int UpdateDnsHistogram() {
  std::string subject;
  {
    std::lock_guard lock(zc::histogram::gWorkerMutex);
    subject = zc::histogram::gSettings.subject;
  }
  std::string now;
  if (GetISOTime(now) != 0) {
    LogOut(LL_ERR, "UpdateDnsHistogram: unable to get the ISO time");
    return -1;
  }
  std::string device = GetStringKVPOr(zc::filterkeys::kDeviceMac, "");
  std::string dll = GetStringKVPOr(zc::filterkeys::kLogicalLocation, "");
  std::string subscriber = GetStringKVPOr(zc::filterkeys::kSubscriberId, "");
  auto doh = zc::pb::Make<Zun__Metrics__HistoGram>();
  auto edge = zc::pb::Make<Zun__Metrics__HistoGram>();
  zc::histogram::Fill(&doh, DohHistoGram.Snapshot());
  zc::histogram::Fill(&edge, EdgeHistoGram.Snapshot());
  auto msg = zc::pb::Make<Zun__Metrics__DNSHISTOGRAM>();
  msg.timestamp = now.data();
  msg.deviceid = device.data();
  msg.dll = dll.data();
  msg.subscriberid = subscriber.data();
  msg.dohhisto = &doh;
  msg.edgehisto = &edge;
  std::vector<uint8_t> packed = zc::pb::Pack(msg);
  LogOut(LL_DEBUG, "SendHistogramMsg sz %d", static_cast<int>(packed.size()));
  // The cloud may leave the message connection out at sign-on: then there is nowhere to send
  // the histograms, which is no reason to end the process.
  if (!subject.empty() && nats_msg.IsConnected() &&
      _natsConnection_Publish(nats_msg, subject.c_str(), packed.data(),
                              static_cast<int>(packed.size()), {kZunProtoV1}) != NATS_OK) {
    ExitLog("SendHistogramMsg: Unable to send the histogram message");
  }
  DumpDohHistoGram();
  DumpEdgeHistoGram();
  return 0;
}

void DumpDohHistoGram() {
  zc::histogram::Dump("DohHistogram", DohHistoGram, zc::histogram::kDohDumpFile);
}

void DumpEdgeHistoGram() {
  zc::histogram::Dump("EdgeHistoGram", EdgeHistoGram, zc::histogram::kEdgeDumpFile);
}
