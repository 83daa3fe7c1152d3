#include "server/process/registration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "interfaces/opc_da.h"
#include "interfaces/zyn_ids.h"
#include "platform/remote/paths.h"
#include "platform/remote/registration.h"
#include "server/process/config.h"
#include "server/process/systemd_units.h"

namespace zyn::server {
namespace {

namespace fs = std::filesystem;

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zyn-registration-test-XXXXXX";
    root_ = mkdtemp(pattern);
    setup_.system = false;
    setup_.program = "/opt/zyn watch/bin/zynserver";
    setup_.classDir = root_ + "/config/zynwatch/classes";
    setup_.configFile = root_ + "/config/zynwatch/zynserver.conf";
    setup_.credentialsDir = root_ + "/config/zynwatch/endpoint";
    setup_.unitDir = root_ + "/config/systemd/user";
    setup_.runSystemctl = false;
  }
  void TearDown() override { fs::remove_all(root_); }

  // Every regular file below the scratch folder, relative to it.
  std::set<std::string> Files() const {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root_))
      if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), root_).string());
    return files;
  }
  std::string Read(const std::string& path) const {
    std::string text;
    EXPECT_TRUE(zyn::remote::ReadFile(path, &text)) << path;
    return text;
  }

  std::string root_;
  RegistrationSetup setup_;
};

TEST_F(RegistrationTest, RegisterWritesEverythingAndUnregisterTakesItBack) {
  RegistrationReport report;
  std::string error;
  ASSERT_TRUE(RegisterServer(setup_, &report, &error)) << error;

  // The class, findable by its names and category, served by this program.
  auto classes = zyn::remote::ReadClassFiles({setup_.classDir});
  ASSERT_EQ(classes.size(), 1u);
  EXPECT_EQ(classes[0].registration.clsid, CLSID_ZYNServer);
  EXPECT_EQ(classes[0].registration.progId, "ZYNServer.OPCServer.1");
  EXPECT_EQ(classes[0].registration.versionIndependentProgId, "ZYNServer.OPCServer");
  EXPECT_EQ(classes[0].registration.implementedCategories,
            (std::vector<CATID>{CATID_OPCDAServer20}));
  EXPECT_EQ(classes[0].program, setup_.program);
  EXPECT_EQ(classes[0].appId, APPID_ZYNServer);

  // The configuration template, the key, and units that listen where the template says.
  EXPECT_EQ(Read(setup_.configFile), ConfigTemplate());
  const std::string key = Read(setup_.credentialsDir + "/access.key");
  ASSERT_GE(key.size(), 64u);
  EXPECT_NE(report.text.find("zynwatch -m HOST --key " + key.substr(0, 64)), std::string::npos)
      << report.text;
  EXPECT_NE(report.text.find("machines/HOST/access.key"), std::string::npos);
  const std::string socket = Read(setup_.unitDir + "/zynserver.socket");
  EXPECT_NE(socket.find("ListenStream=%t/zynwatch/endpoint.sock\n"), std::string::npos);
  EXPECT_NE(socket.find("ListenStream=24837\n"), std::string::npos);
  const std::string service = Read(setup_.unitDir + "/zynserver.service");
  EXPECT_NE(service.find("ExecStart=\"/opt/zyn watch/bin/zynserver\"\n"), std::string::npos);

  // A second registration changes nothing and makes no new key.
  RegistrationReport again;
  ASSERT_TRUE(RegisterServer(setup_, &again, &error)) << error;
  EXPECT_EQ(Read(setup_.credentialsDir + "/access.key"), key);

  RegistrationReport gone;
  ASSERT_TRUE(UnregisterServer(setup_, &gone, &error)) << error;
  EXPECT_TRUE(gone.warnings.empty());
  EXPECT_EQ(Files(), (std::set<std::string>{"config/zynwatch/endpoint/access.key",
                                            "config/zynwatch/endpoint/cert.pem",
                                            "config/zynwatch/endpoint/key.pem"}));
  EXPECT_NE(gone.text.find("key and certificate stay"), std::string::npos);
}

TEST_F(RegistrationTest, AnEditedConfigurationIsTheAdministratorsAndStays) {
  ASSERT_TRUE(zyn::remote::MakeDirs(root_ + "/config/zynwatch", 0755));
  const std::string own =
      "listen = 127.0.0.1:24900\ncredentials = " + root_ + "/keys\n[permissions]\nexecute = no\n";
  ASSERT_TRUE(zyn::remote::WriteFile(setup_.configFile, own, 0644));
  RegistrationReport report;
  std::string error;
  ASSERT_TRUE(RegisterServer(setup_, &report, &error)) << error;
  // The key goes where the configuration says, the units listen where it says.
  EXPECT_TRUE(fs::exists(root_ + "/keys/access.key"));
  EXPECT_FALSE(fs::exists(setup_.credentialsDir));
  EXPECT_NE(Read(setup_.unitDir + "/zynserver.socket").find("ListenStream=127.0.0.1:24900\n"),
            std::string::npos);
  ASSERT_TRUE(UnregisterServer(setup_, &report, &error)) << error;
  EXPECT_EQ(Read(setup_.configFile), own);
}

TEST_F(RegistrationTest, FailuresAreReported) {
  // A broken configuration stops registration with its file and line.
  ASSERT_TRUE(zyn::remote::MakeDirs(root_ + "/config/zynwatch", 0755));
  ASSERT_TRUE(zyn::remote::WriteFile(setup_.configFile, "port = many\n", 0644));
  RegistrationReport report;
  std::string error;
  EXPECT_FALSE(RegisterServer(setup_, &report, &error));
  EXPECT_NE(error.find("zynserver.conf:1:"), std::string::npos) << error;

  // A class folder that cannot be made.
  ASSERT_TRUE(zyn::remote::WriteFile(root_ + "/file", "", 0644));
  setup_.classDir = root_ + "/file/classes";
  EXPECT_FALSE(RegisterServer(setup_, &report, &error));
  EXPECT_FALSE(error.empty());

  // A program path that is not absolute (the program could not find itself).
  setup_.program = "zynserver";
  EXPECT_FALSE(RegisterServer(setup_, &report, &error));
}

TEST(SystemdUnits, SocketAndServiceUnits) {
  UnitFiles user = MakeUnitFiles({false,
                                  "/usr/bin/zynserver",
                                  {"*:24837", "192.168.1.5:24838", "[::1]:24839", "127.0.0.1:0"}});
  EXPECT_NE(user.socket.find("ListenStream=%t/zynwatch/endpoint.sock\nSocketMode=0600\n"),
            std::string::npos);
  EXPECT_NE(user.socket.find("ListenStream=24837\nListenStream=192.168.1.5:24838\n"
                             "ListenStream=[::1]:24839\n"),
            std::string::npos);
  EXPECT_EQ(user.socket.find(":0\n"), std::string::npos);
  ASSERT_EQ(user.warnings.size(), 1u);
  EXPECT_NE(user.socket.find("KeepAlive=yes"), std::string::npos);
  EXPECT_NE(user.socket.find("WantedBy=sockets.target"), std::string::npos);
  EXPECT_NE(user.service.find("ExecStart=/usr/bin/zynserver\n"), std::string::npos);
  EXPECT_EQ(user.service.find("XDG_RUNTIME_DIR"), std::string::npos);

  // The system service names the socket systemd holds in /run.
  UnitFiles system = MakeUnitFiles({true, "/usr/bin/zyn%server", {}});
  EXPECT_NE(system.service.find("Environment=XDG_RUNTIME_DIR=/run\n"), std::string::npos);
  EXPECT_NE(system.service.find("ExecStart=/usr/bin/zyn%%server\n"), std::string::npos);
  EXPECT_EQ(system.socket.find("KeepAlive"), std::string::npos);  // no TCP
}

}  // namespace
}  // namespace zyn::server
