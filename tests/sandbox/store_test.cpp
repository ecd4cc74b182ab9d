#include "store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.h"
#include "tls.h"

using namespace trellisant;
using namespace trellisant::sandbox;
using namespace trellisant::testing;

TEST(SandboxStore, DeliveryFromFolderDigestsEveryRegularFile) {
  TempDir dir;
  std::filesystem::create_directories(dir / "reel" / "B cam");
  writeText(dir / "reel" / "b.mov", "abc");
  writeText(dir / "reel" / "B cam" / "a.mov", "");
  writeText(dir / "reel" / "a.mov", "hello\n");
  std::filesystem::create_symlink(dir / "reel" / "a.mov", dir / "reel" / "link.mov");

  SandboxDelivery delivery = deliveryFromFolder(dir / "reel", "", "Acme", "Promo", "Reel");
  EXPECT_EQ(delivery.id.size(), 36u);
  ASSERT_EQ(delivery.files.size(), 3u);
  EXPECT_EQ(delivery.files[0].relativePath, "B cam/a.mov");
  EXPECT_EQ(delivery.files[1].relativePath, "a.mov");
  EXPECT_EQ(delivery.files[2].relativePath, "b.mov");
  const SandboxFile& abc = delivery.files[2];
  EXPECT_EQ(abc.size, 3);
  EXPECT_EQ(abc.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(abc.md5, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(abc.checksum, abc.sha256);
  EXPECT_FALSE(abc.checksumKind);
  EXPECT_EQ(delivery.files[0].sha256,
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_NE(delivery.files[0].id, delivery.files[1].id);
  EXPECT_EQ(delivery.totalBytes(), "9");
  delivery.totalBytesText = "12";
  EXPECT_EQ(delivery.totalBytes(), "12");

  EXPECT_EQ(deliveryFromFolder(dir / "reel", "given", "", "", "").id, "given");
  EXPECT_EQ(capabilitySignature("d", "f"), sha256Hex("d/f/sandbox"));
}

TEST(SandboxStore, AddReplacesFindsAndRemoves) {
  DeliveryStore store;
  SandboxDelivery one;
  one.id = "one";
  SandboxFile file;
  file.id = "f1";
  file.relativePath = "a";
  one.files.push_back(file);
  store.add(one);
  one.name = "renamed";
  store.add(one);
  EXPECT_EQ(store.all().size(), 1u);
  EXPECT_EQ(store.find("one")->name, "renamed");
  EXPECT_EQ(store.findFile("one", "f1")->relativePath, "a");
  EXPECT_FALSE(store.findFile("one", "f2"));
  EXPECT_FALSE(store.find("two"));
  EXPECT_TRUE(store.remove("one"));
  EXPECT_FALSE(store.remove("one"));
}

TEST(SandboxTls, MaterialIsReusedAndRemadeWhenBroken) {
  TempDir dir;
  TlsMaterial made = ensureTlsMaterial(dir / "tls");
  std::string ca = readText(made.caFile);
  std::string cert = readText(made.certFile);
  struct stat info {};
  ASSERT_EQ(::stat(made.keyFile.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  TlsMaterial again = ensureTlsMaterial(dir / "tls");
  EXPECT_EQ(again.caFile, made.caFile);
  EXPECT_EQ(readText(again.caFile), ca);
  EXPECT_EQ(readText(again.certFile), cert);

  // A key that does not belong to the certificate: everything is made anew.
  TempDir other;
  TlsMaterial foreign = ensureTlsMaterial(other.path());
  std::filesystem::copy_file(foreign.keyFile, made.keyFile,
                             std::filesystem::copy_options::overwrite_existing);
  ensureTlsMaterial(dir / "tls");
  EXPECT_NE(readText(made.caFile), ca);
  EXPECT_NE(readText(made.certFile), cert);

  writeText(made.certFile, "garbage");
  ensureTlsMaterial(dir / "tls");
  EXPECT_NE(readText(made.certFile), "garbage");
}
