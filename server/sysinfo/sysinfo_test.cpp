#include "server/sysinfo/sysinfo.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

constexpr ULONGLONG kGiB = 1073741824ULL;

// A machine's tree in a temporary folder, removed with the object.
class CapturedRoot {
 public:
  CapturedRoot() {
    std::string pattern = (fs::temp_directory_path() / "zyn-sysinfo-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  CapturedRoot(const CapturedRoot&) = delete;
  CapturedRoot& operator=(const CapturedRoot&) = delete;
  ~CapturedRoot() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }

  void Write(const std::string& file, const std::string& text) const {
    fs::path target = path_ / file.substr(1);
    fs::create_directories(target.parent_path());
    std::ofstream(target, std::ios::binary) << text;
  }

  SysInfoSources Sources() const {
    SysInfoSources sources;
    sources.root = path_.string();
    sources.filesystemSpace = [](const std::string&) { return std::nullopt; };
    return sources;
  }

 private:
  fs::path path_;
};

std::vector<SysInfoEntry> Collect(const SysInfoSources& sources) {
  auto entries = CollectSysInfo(sources);
  EXPECT_EQ(entries.size(), 6u);
  entries.resize(6);
  return entries;
}

TEST(SysInfo, SixEntriesInOrderEvenWithNothingReadable) {
  CapturedRoot root;
  auto entries = Collect(root.Sources());
  const char* captions[] = {"General",    "Processor",         "Memory",
                            "Hard Drive", "System Components", "Installed Software"};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(entries[i].caption, captions[i]);
  EXPECT_EQ(entries[0].description, "Computer \r\nLinux");
  EXPECT_EQ(entries[1].description, " ");
  EXPECT_EQ(entries[2].description, "");
  EXPECT_EQ(entries[2].usage, -1);
  EXPECT_EQ(entries[4].description, "");
  EXPECT_EQ(entries[5].description, "");
  for (int i : {0, 1, 4, 5})
    EXPECT_EQ(entries[i].usage, -1) << i;
}

TEST(SysInfo, GeneralNamesHostSystemBuildAndMachineId) {
  CapturedRoot root;
  // Longer than 15 characters: a host name is shown whole.
  root.Write("/proc/sys/kernel/hostname", "observed-build-host-01\n");
  root.Write("/proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
  root.Write("/etc/machine-id", "4f1c2a9d8e7b40c6a1d2e3f405162738\n");
  root.Write("/etc/os-release",
             "# comment\nNAME=\"Zeta \\\"Linux\\\"\"\nVERSION='12 (blue)'\nVARIANT=Server\n"
             "broken line\nID=zeta\n");
  EXPECT_EQ(Collect(root.Sources())[0].description,
            "Computer observed-build-host-01\r\n"
            "Zeta \"Linux\" 12 (blue) Server build 6.1.0-18-amd64\r\n"
            "OS Product ID: 4f1c2a9d8e7b40c6a1d2e3f405162738");

  // Without /etc/os-release the vendor's copy counts; a variant the version already names is
  // not repeated; no machine id, no product line.
  CapturedRoot other;
  other.Write("/proc/sys/kernel/hostname", "box");
  other.Write("/proc/version", "Linux version 6.5.6-300.fc39.x86_64 (builder@host) #1 SMP\n");
  other.Write("/usr/lib/os-release",
              "NAME=\"Fedora Linux\"\nVERSION=\"39 (Workstation Edition)\"\n"
              "VARIANT=\"Workstation Edition\"\n");
  EXPECT_EQ(Collect(other.Sources())[0].description,
            "Computer box\r\nFedora Linux 39 (Workstation Edition) build 6.5.6-300.fc39.x86_64");
}

TEST(SysInfo, ProcessorOfX86AndArm) {
  CapturedRoot x86;
  x86.Write("/sys/devices/system/cpu/online", "0-3,5\n");
  x86.Write("/proc/sys/kernel/arch", "x86_64\n");
  x86.Write("/proc/cpuinfo",
            "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 158\n"
            "model name\t: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\nstepping\t: 10\n"
            "cpu MHz\t\t: 3192.613\n\n"
            "processor\t: 1\nvendor_id\t: GenuineIntel\ncpu MHz\t\t: 800.000\n");
  EXPECT_EQ(Collect(x86.Sources())[1].description,
            "5 processor(s)\r\n"
            "x86_64 Family 6 Model 158 Stepping 10 GenuineIntel "
            "Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\r\n3192 MHz");

  // ARM's cpuinfo has no vendor, model name or speed; without the online list the processors
  // cpuinfo describes are counted.
  CapturedRoot arm;
  arm.Write("/proc/sys/kernel/arch", "aarch64\n");
  std::string cpuinfo;
  for (int i = 0; i < 4; ++i) {
    cpuinfo += "processor\t: " + std::to_string(i) +
               "\nBogoMIPS\t: 50.00\nCPU implementer\t: 0x41\nCPU architecture: 8\n"
               "CPU part\t: 0xd0b\nCPU revision\t: 1\n\n";
  }
  arm.Write("/proc/cpuinfo", cpuinfo);
  EXPECT_EQ(Collect(arm.Sources())[1].description, "4 processor(s)\r\naarch64 ");

  // A malformed online list is not trusted.
  arm.Write("/sys/devices/system/cpu/online", "3-1\n");
  EXPECT_EQ(Collect(arm.Sources())[1].description, "4 processor(s)\r\naarch64 ");
}

TEST(SysInfo, MemoryInMegabytesAndLoad) {
  CapturedRoot root;
  // 16 GiB + 1023 kB total (the part megabyte is cut), 6 GiB available: 62.5% in use, cut.
  root.Write("/proc/meminfo",
             "MemTotal:       16778239 kB\nMemFree:          100000 kB\n"
             "MemAvailable:    6291456 kB\nBuffers:           2048 kB\n");
  auto memory = Collect(root.Sources())[2];
  EXPECT_EQ(memory.description,
            "16384 MB of physical memory\r\n6144 MB of available physical memory\r\n"
            "62% of total physical memory in use");
  EXPECT_EQ(memory.usage, 62);

  // An old kernel without the estimate: the free memory stands in.
  root.Write("/proc/meminfo", "MemTotal: 2097152 kB\nMemFree: 524288 kB\n");
  memory = Collect(root.Sources())[2];
  EXPECT_EQ(memory.description,
            "2048 MB of physical memory\r\n512 MB of available physical memory\r\n"
            "75% of total physical memory in use");
  EXPECT_EQ(memory.usage, 75);

  root.Write("/proc/meminfo", "MemTotal: 0 kB\nMemAvailable: 0 kB\n");
  memory = Collect(root.Sources())[2];
  EXPECT_EQ(memory.description, "");
  EXPECT_EQ(memory.usage, -1);
}

TEST(SysInfo, HardDriveCountsEachLocalDiskOnce) {
  CapturedRoot root;
  root.Write("/proc/self/mounts",
             "proc /proc proc rw 0 0\n"
             "sysfs /sys sysfs rw 0 0\n"
             "devtmpfs /dev devtmpfs rw 0 0\n"
             "tmpfs /run tmpfs rw 0 0\n"
             "/dev/sda1 / ext4 rw 0 0\n"
             "/dev/sda1 /srv/bind ext4 rw 0 0\n"
             "/dev/nvme0n1p2 /data\\040disk xfs rw 0 0\n"
             "/dev/nvme0n1p2 /data\\040again xfs rw 0 0\n"
             "/dev/sdb1 /unreadable ext4 rw 0 0\n"
             "/dev/sdc1 /first-fails btrfs rw 0 0\n"
             "/dev/sdc1 /second-answers btrfs rw 0 0\n"
             "/dev/loop3 /snap/core/1 squashfs ro 0 0\n"
             "/dev/sr0 /media/cdrom iso9660 ro 0 0\n"
             "overlay /var/lib/containers overlay rw 0 0\n"
             "server:/export /net nfs4 rw 0 0\n"
             "//server/share /smb cifs rw 0 0\n"
             "truncated-line\n");
  std::map<std::string, FilesystemSpace> sizes = {
      {"/", {100 * kGiB, 40 * kGiB}},
      {"/srv/bind", {100 * kGiB, 40 * kGiB}},
      {"/data disk", {50 * kGiB, 10 * kGiB + kGiB / 4}},
      {"/data again", {50 * kGiB, 10 * kGiB + kGiB / 4}},
      {"/second-answers", {10 * kGiB, 10 * kGiB}},
      {"/snap/core/1", {kGiB, 0}},
      {"/media/cdrom", {kGiB, 0}},
      {"/var/lib/containers", {kGiB, 0}},
      {"/net", {kGiB, 0}},
      {"/smb", {kGiB, 0}},
      {"/run", {kGiB, 0}},
  };
  std::vector<std::string> asked;
  SysInfoSources sources = root.Sources();
  sources.filesystemSpace = [&](const std::string& mountPoint) -> std::optional<FilesystemSpace> {
    asked.push_back(mountPoint);
    auto it = sizes.find(mountPoint);
    if (it == sizes.end()) return std::nullopt;
    return it->second;
  };
  auto disk = Collect(sources)[3];
  // 160 GiB in all, 60.25 GiB free: 62.34375% in use.
  EXPECT_EQ(disk.description,
            "160.00 GB of total disk space\r\n60.25 GB of free disk space\r\n"
            "62% of total disk space in use");
  EXPECT_EQ(disk.usage, 62);
  EXPECT_EQ(asked, (std::vector<std::string>{"/", "/data disk", "/unreadable", "/first-fails",
                                             "/second-answers"}));

  // The text rounds the percentage, the usage figure cuts it: 2 of 3 GiB in use is 66.67%.
  sizes = {{"/", {3 * kGiB, kGiB}}};
  asked.clear();
  disk = Collect(sources)[3];
  EXPECT_EQ(disk.description,
            "3.00 GB of total disk space\r\n1.00 GB of free disk space\r\n"
            "67% of total disk space in use");
  EXPECT_EQ(disk.usage, 66);
}

TEST(SysInfo, HardDriveWithoutAnyDiskShowsNothingInUse) {
  CapturedRoot root;
  root.Write("/proc/mounts", "tmpfs / tmpfs rw 0 0\n");
  auto disk = Collect(root.Sources())[3];
  EXPECT_EQ(disk.description,
            "0.00 GB of total disk space\r\n0.00 GB of free disk space\r\n"
            "0% of total disk space in use");
  EXPECT_EQ(disk.usage, 0);
}

TEST(SysInfo, SystemComponentsLeaveOutMissingSources) {
  CapturedRoot root;
  root.Write("/proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
  SysInfoSources sources = root.Sources();
  sources.libcVersion = "2.36";
  sources.displayServer = "The X.Org Foundation 12101007";
  EXPECT_EQ(Collect(sources)[4].description,
            "Linux kernel 6.1.0-18-amd64\r\nGNU C Library 2.36\r\n"
            "X server The X.Org Foundation 12101007");

  sources.displayServer.clear();  // no display reachable
  EXPECT_EQ(Collect(sources)[4].description, "Linux kernel 6.1.0-18-amd64\r\nGNU C Library 2.36");

  // A captured tree is not the running machine: its C library is unknown unless given.
  sources.libcVersion.reset();
  EXPECT_EQ(Collect(sources)[4].description, "Linux kernel 6.1.0-18-amd64");
}

TEST(SysInfo, InstalledSoftwareListsInstalledPackagesInFileOrder) {
  CapturedRoot root;
  root.Write("/var/lib/dpkg/status",
             "Package: zlib1g\nStatus: install ok installed\nArchitecture: amd64\n"
             "Version: 1:1.2.13.dfsg-1\nDescription: compression library\n"
             " Package: not-a-field\n\n"
             "Package: removed-tool\nStatus: deinstall ok config-files\nVersion: 1.0\n\n"
             "Package: meta-only\nStatus: install ok installed\n\n\n"
             "Package: libc6:amd64\nStatus: hold ok installed\nVersion: 2.36-9\n\n"
             "Package: half-gone\nStatus: install ok half-installed\nVersion: 3\n\n"
             "package: lower-case\nstatus: install ok installed\nversion: 0.1");
  EXPECT_EQ(Collect(root.Sources())[5].description,
            "zlib1g (1:1.2.13.dfsg-1)|meta-only|libc6:amd64 (2.36-9)|lower-case (0.1)");
}

TEST(SysInfo, PackGivesThreeBareArrays) {
  std::vector<SysInfoEntry> entries = {{"General", "Computer a\r\nLinux", -1},
                                       {"Processor", "1 processor(s)\r\n", -1},
                                       {"Memory", "m", 42},
                                       {"Hard Drive", "d", 7},
                                       {"System Components", "", -1},
                                       {"Installed Software", "x|y", -1}};
  VARIANT captions, descriptions, usage;
  ASSERT_EQ(PackSysInfo(entries, &captions, &descriptions, &usage), S_OK);
  com::Variant ownCaptions(captions), ownDescriptions(descriptions), ownUsage(usage);
  VariantClear(&captions);
  VariantClear(&descriptions);
  VariantClear(&usage);

  struct Case {
    const com::Variant& v;
    VARTYPE element;
  };
  for (const Case& c :
       {Case{ownCaptions, VT_BSTR}, Case{ownDescriptions, VT_BSTR}, Case{ownUsage, VT_I4}}) {
    ASSERT_EQ(c.v.vt(), VT_ARRAY);
    SAFEARRAY* array = c.v.get()->parray;
    VARTYPE vt = 0;
    LONG lower = -1, upper = -1;
    EXPECT_EQ(SafeArrayGetDim(array), 1u);
    EXPECT_EQ(SafeArrayGetVartype(array, &vt), S_OK);
    EXPECT_EQ(vt, c.element);
    EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 5);
  }
  com::SafeArrayData<BSTR> captionData(ownCaptions.get()->parray);
  com::SafeArrayData<BSTR> descriptionData(ownDescriptions.get()->parray);
  com::SafeArrayData<LONG> usageData(ownUsage.get()->parray);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(com::BstrView(captionData[i]), entries[i].caption);
    EXPECT_EQ(com::BstrView(descriptionData[i]), entries[i].description);
    EXPECT_EQ(usageData[i], entries[i].usage);
  }

  EXPECT_EQ(PackSysInfo(entries, &captions, nullptr, &usage), E_INVALIDARG);
}

TEST(SysInfo, LiveMachineReportIsPlausible) {
  auto entries = Collect(SysInfoSources{});
  char host[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(gethostname(host, sizeof(host)), 0);
  EXPECT_TRUE(entries[0].description.starts_with("Computer " + std::string(host) + "\r\n"))
      << entries[0].description;
  EXPECT_NE(entries[1].description.find(" processor(s)\r\n"), std::string::npos);
  // The first figure of the memory text is the total.
  EXPECT_GT(std::atol(entries[2].description.c_str()), 0) << entries[2].description;
  EXPECT_GE(entries[2].usage, 0);
  EXPECT_LE(entries[2].usage, 100);
  EXPECT_GE(entries[3].usage, 0);
  EXPECT_LE(entries[3].usage, 100);
  EXPECT_TRUE(entries[4].description.starts_with("Linux kernel ")) << entries[4].description;
  EXPECT_NE(entries[4].description.find("\r\nGNU C Library "), std::string::npos);
}

}  // namespace
