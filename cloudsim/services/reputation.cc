// Edge reputation: answers each EDGEDNSREQUEST by its site with the categories, security category
// and application of the first matching rule, echoing the seqno, so category, app and security
// blocks can run end to end. Rules come from the profile entry:
//   "rules": [{"site_regex": "(^|\\.)ads\\.test$", "category_ids": [20], "sec_category_id": 0,
//              "app": "NA"}, ..., {"default": true, ...}]
// The site loses its "http://www." or "http://" prefix before matching.
#include <regex.h>

#include <memory>
#include <mutex>
#include <vector>

#include "proto/messages.h"
#include "services/services.h"

namespace cloudsim {
namespace {

struct Rule {
  std::shared_ptr<regex_t> regex;  // null for the default rule
  std::vector<uint32_t> categories;
  uint32_t sec = 0;
  std::string app = "NA";
};

class ReputationService : public Service {
 public:
  using Service::Service;

  bool Configure(const json_object* config, std::string* error) override {
    if (!Service::Configure(config, error)) return false;
    std::vector<Rule> rules;
    if (json_object* list = Member(config, "rules")) {
      for (size_t i = 0; i < json_object_array_length(list); ++i) {
        json_object* r = json_object_array_get_idx(list, i);
        Rule rule;
        if (auto pattern = StringMember(r, "site_regex")) {
          auto* re = new regex_t;
          if (regcomp(re, pattern->c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0) {
            delete re;
            *error = name() + ": bad site_regex " + *pattern;
            return false;
          }
          rule.regex.reset(re, [](regex_t* p) {
            regfree(p);
            delete p;
          });
        }
        if (json_object* ids = Member(r, "category_ids")) {
          for (size_t j = 0; j < json_object_array_length(ids); ++j) {
            rule.categories.push_back(
                static_cast<uint32_t>(json_object_get_int64(json_object_array_get_idx(ids, j))));
          }
        }
        if (json_object* sec = Member(r, "sec_category_id")) {
          rule.sec = static_cast<uint32_t>(json_object_get_int64(sec));
        }
        rule.app = StringMember(r, "app").value_or("NA");
        rules.push_back(std::move(rule));
      }
    }
    std::lock_guard lock(mutex_);
    rules_ = std::move(rules);
    return true;
  }

  std::optional<std::string> Reply(const Inbound& request) override {
    bool haveRules;
    {
      std::lock_guard lock(mutex_);
      haveRules = !rules_.empty();
    }
    if (!haveRules) return ConfiguredReply();
    auto req =
        zc::pb::Unpack<Zun__Edge__EDGEDNSREQUEST>(request.payload.data(), request.payload.size());
    if (!req) return std::nullopt;
    std::string site = req->site ? req->site : "";
    for (const char* prefix : {"http://www.", "http://", "https://"}) {
      if (site.rfind(prefix, 0) == 0) {
        site.erase(0, std::string(prefix).size());
        break;
      }
    }
    while (!site.empty() && site.back() == '/') site.pop_back();
    auto resp = zc::pb::Make<Zun__Edge__EDGEDNSRESP>();
    std::vector<uint32_t> categories;
    std::string app = "NA";
    {
      std::lock_guard lock(mutex_);
      for (const Rule& rule : rules_) {
        if (rule.regex && regexec(rule.regex.get(), site.c_str(), 0, nullptr, 0) != 0) continue;
        categories = rule.categories;
        resp.sec_category_id = rule.sec;
        app = rule.app;
        break;
      }
    }
    resp.n_category_id = categories.size();
    resp.category_id = categories.data();
    resp.app = app.data();
    resp.seqno = req->seqno;
    return zc::pb::PackToString(resp);
  }

 private:
  std::mutex mutex_;
  std::vector<Rule> rules_;
};

}  // namespace

std::unique_ptr<Service> MakeReputationService(const std::string& name) {
  return std::make_unique<ReputationService>(name);
}

}  // namespace cloudsim
