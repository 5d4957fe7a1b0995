// What the planner decides alone, on a root of the Debian layout and the
// anchors as a view shows them: no lock, no write, no program run.
#include "platform/posix/change/store_plan.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/cert/anchor_format.h"
#include "tests/support/test_certs.h"

namespace tkv::testing {
namespace {

constexpr char kAnchors[] = "usr/local/share/ca-certificates";
constexpr char kBundle[] = "etc/ssl/certs/ca-certificates.crt";

TEST(StorePlanTest, PlansOnTheAnchorsAsTheViewShowsThem) {
  const Bytes ca = MakeCertificate("Planned CA");
  const std::string pem = ToPem(ca);
  const std::string other = ToPem(MakeCertificate("Planned Other CA", 2));
  const std::string own = AnchorFileName(ca);
  const std::string stem = own.substr(0, own.size() - 4);
  // What a change before this one left in the view: written, or removed,
  // and published.
  const auto written = [&](AnchorView& view) {
    view.Put(own, AnchorFile{pem});
    view.Publish({{ca}, {}, {}});
  };
  const auto removed = [&](AnchorView& view) {
    view.Remove(own);
    view.Publish({{}, {ca}, {}});
  };
  const struct {
    const char* name;
    std::map<std::string, std::string> anchors;  // below the anchors directory
    bool bundle_holds;
    ChangeKind kind;
    std::function<void(AnchorView&)> before;
    DWORD code;
    std::vector<std::string> edits;  // "+name" written, "-name" removed
    bool refresh;
    std::string already_held_by;
  } cases[] = {
      {"an install", {}, false, ChangeKind::kAdd, nullptr, ERROR_SUCCESS, {"+" + own}, true, ""},
      {"installed, the bundle lagging", {{own, pem}}, false, ChangeKind::kAdd, nullptr, ERROR_SUCCESS, {}, true, ""},
      {"installed and published", {{own, pem}}, true, ChangeKind::kAdd, nullptr, ERROR_SUCCESS, {}, false, ""},
      {"held by another anchor", {{"other.crt", other + pem}}, true, ChangeKind::kAdd, nullptr, ERROR_SUCCESS, {},
       false, "other.crt"},
      {"installed by the change before", {}, false, ChangeKind::kAdd, written, ERROR_SUCCESS, {}, false, ""},
      {"removed by the change before, then installed", {{own, pem}}, true, ChangeKind::kAdd, removed, ERROR_SUCCESS,
       {"+" + own}, true, ""},
      {"a removal", {{own, pem}}, true, ChangeKind::kRemove, nullptr, ERROR_SUCCESS, {"-" + own}, true, ""},
      {"a removal from a file of two", {{"two.crt", other + pem}}, true, ChangeKind::kRemove, nullptr, ERROR_SUCCESS,
       {"+two.crt"}, true, ""},
      {"a removal that keeps the key aside", {{own, pem + PrivateKeyPem()}}, true, ChangeKind::kRemove, nullptr,
       ERROR_SUCCESS, {"+" + stem + ".key", "-" + own}, true, ""},
      {"nothing to remove", {}, false, ChangeKind::kRemove, nullptr, CRYPT_E_NOT_FOUND, {}, false, ""},
      {"only the lagging bundle holds it", {}, true, ChangeKind::kRemove, nullptr, ERROR_SUCCESS, {}, true, ""},
      {"installed by the change before, then removed", {}, false, ChangeKind::kRemove, written, ERROR_SUCCESS,
       {"-" + own}, true, ""},
      {"removed by the change before, then removed", {{own, pem}}, true, ChangeKind::kRemove, removed,
       CRYPT_E_NOT_FOUND, {}, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    ASSERT_EQ(system(("mkdir -p '" + root.path() + "/" + kAnchors + "' '" + root.path() + "/usr/sbin' '" +
                      root.path() + "/etc/ssl/certs'")
                         .c_str()),
              0);
    WriteFile(root.File("etc/ca-certificates.conf"), std::string());
    WriteFile(root.File("usr/sbin/update-ca-certificates"), std::string("#!/bin/sh\n"));
    ASSERT_EQ(chmod(root.File("usr/sbin/update-ca-certificates").c_str(), 0755), 0);
    for (const auto& [name, contents] : c.anchors) {
      WriteFile(root.File(std::string(kAnchors) + "/" + name), contents);
      ASSERT_EQ(chmod(root.File(std::string(kAnchors) + "/" + name).c_str(), 0644), 0);
    }
    WriteFile(root.File(kBundle), c.bundle_holds ? pem : std::string());
    std::shared_ptr<const RootDirectory> opened;
    ASSERT_EQ(RootDirectory::Open(root.path(), &opened), ERROR_SUCCESS);
    StoreLocation location;
    ASSERT_EQ(LocateStore(opened, &location), ERROR_SUCCESS);
    const UniqueFd anchors = OpenAnchorsDirectory(location);
    AnchorView view(location, anchors.get());
    if (c.before) c.before(view);
    StandardErrorEvents events;
    Command command(RunSettings(), events);
    RefreshCommand refresh;
    refresh.planned = true;  // the sandbox is not the planner's to test
    ChangePlan plan;
    EXPECT_EQ(PlanChange(command, &refresh, view, c.kind, ca, &plan), c.code);
    if (c.code != ERROR_SUCCESS) continue;
    std::vector<std::string> edits;
    for (const AnchorEdit& edit : plan.edits) edits.push_back((edit.remove ? "-" : "+") + edit.name);
    EXPECT_EQ(edits, c.edits);
    EXPECT_EQ(plan.refresh, c.refresh);
    EXPECT_EQ(plan.already_held_by, c.already_held_by);
  }
}

}  // namespace
}  // namespace tkv::testing
