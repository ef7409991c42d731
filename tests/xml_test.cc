#include "productlib/xml.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <cstdio>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "setup/files.h"
#include "setup/write_file.h"
#include "setup/output.h"
#include "setup/unique_fd.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/tool.h"
#include "tests/productlib/capture.h"
#include "tests/productlib/scratch_dir.h"

namespace {
class Xml : public ScratchDirTest {
 protected:
  Xml() : ScratchDirTest("plib-xml") {}
  void TearDown() override {
    setDebug(0);
    ScratchDirTest::TearDown();
  }
  std::string make(const std::string& name, const std::string& text) {
    std::string p = dir_ + "/" + name;
    std::ofstream(p) << text;
    return p;
  }
};

const char kConfig[] =
    "<?xml version=\"1.0\" ?>\n"
    "<!-- settings -->\n"
    "<config>\n"
    "  <item id=\"a\" other=\"target\">\n"
    "    <item id=\"target\">inner</item>\n"
    "  </item>\n"
    "  <item name=\"target\"/>\n"
    "</config>\n";
}  // namespace

TEST_F(Xml, OpenReportsMissingAndUnparsable) {
  std::string missing = dir_ + "/missing.xml";
  std::string broken = make("broken.xml", "<config><unclosed></config>");
  std::string out = captureStdout([&] {
    EXPECT_EQ(openXmlDocument(missing.c_str()), nullptr);
    EXPECT_EQ(openXmlDocument(broken.c_str()), nullptr);
  });
  EXPECT_EQ(out, "ERROR: Could not open '" + missing + "'\nERROR: Failed to parse '" + broken + "'\n");

  std::string good = make("good.xml", kConfig);
  setDebug(1);
  std::unique_ptr<TiXmlDocument> document;
  out = captureStdout([&] { document.reset(openXmlDocument(good.c_str())); });
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(out, "debug: Opening configuration file: " + good + "\n");
  EXPECT_STREQ(document->RootElement()->Value(), "config");
}

// Neither a directory nor a FIFO without a writer can be loaded: each fails
// with the caller's usual text, and neither aborts nor waits.
TEST_F(Xml, OnlyRegularFilesAreLoaded) {
  std::string directory = dir_ + "/directory.xml";
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  std::string fifo = dir_ + "/fifo.xml";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  for (const std::string& p : {directory, fifo}) {
    SCOPED_TRACE(p);
    std::string out = captureStdout([&] { EXPECT_EQ(openXmlDocument(p.c_str()), nullptr); });
    EXPECT_EQ(out, "ERROR: Failed to parse '" + p + "'\n");
    out = captureStdout([&] { dumpXmlFile(p.c_str()); });
    EXPECT_EQ(out, "Failed to load file \"" + p + "\"\n");
    TiXmlDocument document;
    EXPECT_FALSE(loadXmlFile(document, p.c_str()));
  }
  // A link to a regular file still loads.
  std::string good = make("good.xml", kConfig);
  std::string link = dir_ + "/link.xml";
  ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
  std::unique_ptr<TiXmlDocument> document(openXmlDocument(link.c_str()));
  ASSERT_NE(document, nullptr);
  EXPECT_STREQ(document->RootElement()->Value(), "config");
}

TEST_F(Xml, FindsFirstAttributeMatchInDocumentOrder) {
  TiXmlDocument document;
  document.Parse(kConfig);
  // The outer item's first attribute is "a"; its second ("target") is never
  // compared, so the nested item is the first match; the later sibling whose
  // first attribute (of another name) matches comes after it.
  TiXmlNode* found = findElementByAttributeValue(&document, "target");
  ASSERT_NE(found, nullptr);
  EXPECT_STREQ(found->ToElement()->GetText(), "inner");
  TiXmlNode* outer = findElementByAttributeValue(&document, "a");
  ASSERT_NE(outer, nullptr);
  EXPECT_STREQ(outer->ToElement()->Attribute("other"), "target");
  // An element that matches is returned before its descendants.
  TiXmlDocument nested;
  nested.Parse("<r><e k=\"v\"><e k=\"v\" deep=\"1\"/></e></r>");
  TiXmlNode* first = findElementByAttributeValue(&nested, "v");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->ToElement()->Attribute("deep"), nullptr);
  EXPECT_EQ(findElementByAttributeValue(&document, "none"), nullptr);
  EXPECT_EQ(findElementByAttributeValue(nullptr, "a"), nullptr);
  // Only the second sibling's first attribute matches "x".
  TiXmlDocument later;
  later.Parse("<r><a k=\"y\" j=\"x\"/><b n=\"x\"/></r>");
  TiXmlNode* b = findElementByAttributeValue(&later, "x");
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(b->Value(), "b");
}

TEST_F(Xml, SavingTwiceKeepsTheFirstVersionAsBackup) {
  std::string p = dir_ + "/conf.xml";
  TiXmlDocument first;
  first.Parse("<v n=\"1\"/>");
  TiXmlDocument second;
  second.Parse("<v n=\"2\"/>");
  TiXmlDocument third;
  third.Parse("<v n=\"3\"/>");
  ASSERT_TRUE(saveXmlDocument(p.c_str(), &first));
  EXPECT_FALSE(fileExists((p + ".bak").c_str()));
  setDebug(1);
  std::string out = captureStdout([&] { ASSERT_TRUE(saveXmlDocument(p.c_str(), &second)); });
  EXPECT_EQ(out, "debug: saveXmlDocument\ndebug: checking existence of '" + p + "'\ndebug: Exists. Rename '" + p +
                     "' to '" + p + ".bak'\ndebug: Rename successful\ndebug: Saving '" + p + "'\n");
  setDebug(0);
  EXPECT_NE(harness::readFile(p).find("n=\"2\""), std::string::npos);
  EXPECT_NE(harness::readFile(p + ".bak").find("n=\"1\""), std::string::npos);
  ASSERT_TRUE(saveXmlDocument(p.c_str(), &third));
  EXPECT_NE(harness::readFile(p + ".bak").find("n=\"2\""), std::string::npos);
}

// The bytes saved are TinyXML's own; a write that fails (a full disk) fails
// the save, and the previous contents stay, in the backup and at the path.
TEST_F(Xml, SavedBytesAreTinyXmlsAndAFailedWriteIsReported) {
  TiXmlDocument document;
  document.Parse(kConfig);
  std::string p = dir_ + "/conf.xml", reference = dir_ + "/reference.xml";
  ASSERT_TRUE(document.SaveFile(reference.c_str()));
  ASSERT_TRUE(saveXmlDocument(p.c_str(), &document));
  EXPECT_EQ(harness::readFile(reference), harness::readFile(p));

  harness::Sandbox box;
  box.mountSmallTmpfs("/tmp/full");
  box.writeFile("/tmp/full/conf.xml", "<old/>");
  box.fillUp("/tmp/full");
  std::string out = captureStdout([&] { EXPECT_FALSE(saveXmlDocument("/tmp/full/conf.xml", &document)); });
  EXPECT_EQ("", out);
  EXPECT_EQ("<old/>", harness::readFile("/tmp/full/conf.xml.bak"));
  EXPECT_EQ("<old/>", harness::readFile("/tmp/full/conf.xml"));
  EXPECT_EQ("conf.xml\nconf.xml.bak\nfiller\n", harness::shell("ls -A /tmp/full"));
}

// A dangling link at the path counts as no file (no backup) and is written
// through, as an open for writing would: the file it names is made and the
// link stays.
TEST_F(Xml, SaveThroughADanglingLinkMakesItsFile) {
  TiXmlDocument document;
  document.Parse(kConfig);
  std::string reference = dir_ + "/reference.xml";
  ASSERT_TRUE(document.SaveFile(reference.c_str()));
  ASSERT_EQ(mkdir((dir_ + "/real").c_str(), 0755), 0);
  std::string p = dir_ + "/conf.xml";
  ASSERT_EQ(symlink("real/target.xml", p.c_str()), 0);
  ASSERT_TRUE(saveXmlDocument(p.c_str(), &document));
  struct stat st;
  ASSERT_EQ(lstat(p.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(harness::readFile(reference), harness::readFile(dir_ + "/real/target.xml"));
  EXPECT_EQ("conf.xml\nreal\nreference.xml\n", harness::shell("ls -A '" + dir_ + "'"));
  EXPECT_EQ("target.xml\n", harness::shell("ls -A '" + dir_ + "/real'"));
}

// A backup name that already is a second name of the file keeps the old
// file as it is, and nothing else is left beside it.
TEST_F(Xml, BackupAlreadyASecondNameLeavesNoOtherName) {
  TiXmlDocument document;
  document.Parse("<new/>");
  std::string p = make("linked.xml", "<old/>");
  ASSERT_EQ(link(p.c_str(), (p + ".bak").c_str()), 0);
  ASSERT_TRUE(saveXmlDocument(p.c_str(), &document));
  EXPECT_NE(harness::readFile(p).find("<new />"), std::string::npos) << harness::readFile(p);
  EXPECT_EQ("<old/>", harness::readFile(p + ".bak"));
  EXPECT_EQ("linked.xml\nlinked.xml.bak\n", harness::shell("ls -A '" + dir_ + "'"));
}

// Files the saving user owns a directory for: its rename to the backup and
// a new file would both work, so the save does. A file of mode 000 the user
// owns keeps its mode; one of root's, which no new file of the user's can
// carry and the user can't write, is replaced by the user's own new file
// with only the owner's bits of its mode.
TEST(XmlSave, WhereTheRenameAndANewFileWouldWorkTheSaveDoes) {
  constexpr uid_t kNobody = 65534;
  struct Case {
    const char* name;
    uid_t owner;
    mode_t mode, after;
  };
  const Case cases[] = {
      {"own file of mode 000", kNobody, 0, 0},
      {"root's file the user can't write", 0, 0644, 0600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    harness::Sandbox box;
    box.makeDirs("/tmp/own");
    ASSERT_EQ(::chown("/tmp/own", kNobody, kNobody), 0);
    const std::string p = "/tmp/own/conf.xml";
    box.writeFile(p, "<old/>", c.mode);
    ASSERT_EQ(::chown(p.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(::chmod(p.c_str(), c.mode), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
      TiXmlDocument document;
      document.Parse("<new/>");
      ::_exit(saveXmlDocument(p.c_str(), &document) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(harness::readFile(p).find("<new />"), std::string::npos);
    EXPECT_EQ("<old/>", harness::readFile(p + ".bak"));
    EXPECT_EQ(harness::modeOf(p), c.after);
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ("conf.xml\nconf.xml.bak\n", harness::shell("ls -A /tmp/own"));
  }
}

TEST_F(Xml, BackupFailureWritesNothing) {
  TiXmlDocument document;
  document.Parse("<new/>");
  // A backup that cannot be made (a directory sits at the backup name).
  std::string p = make("busy.xml", "<old/>");
  ASSERT_EQ(mkdir((p + ".bak").c_str(), 0755), 0);
  ASSERT_EQ(write_file((p + ".bak/keep").c_str(), "x"), 0);
  std::string out = captureStdout([&] { EXPECT_FALSE(saveXmlDocument(p.c_str(), &document)); });
  EXPECT_EQ(out.rfind("Failed to create backup file: ", 0), 0u);
  EXPECT_EQ(harness::readFile(p), "<old/>");
}

// What is not a regular file at the path is refused before anything
// changes: the save fails, no backup is made, nothing is written, and the
// directory, FIFO (never waited on), device node or socket stays as it was.
TEST(XmlSave, WhatIsNotARegularFileIsRefused) {
  harness::Sandbox box;
  box.makeDirs("/tmp/x/directory.xml");
  box.writeFile("/tmp/x/directory.xml/keep", "kept");
  box.makeFifo("/tmp/x/fifo.xml");
  box.makeCharDevice("/tmp/x/device.xml", 1, 3);
  UniqueFd socketFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(socketFd);
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", "/tmp/x/socket.xml");
  ASSERT_EQ(0, ::bind(socketFd.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address));
  const std::string listed = "device.xml\ndirectory.xml\nfifo.xml\nsocket.xml\n";
  ASSERT_EQ(listed, harness::shell("ls -A /tmp/x"));

  TiXmlDocument document;
  document.Parse("<new/>");
  const struct {
    const char* path;
    char kind;  // as `stat -c %F` names it, first letter
  } cases[] = {{"/tmp/x/directory.xml", 'd'}, {"/tmp/x/fifo.xml", 'f'}, {"/tmp/x/device.xml", 'c'},
               {"/tmp/x/socket.xml", 's'}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string before = harness::shell(std::string("stat -c '%F %i %s %Y' ") + c.path);
    std::string out = captureStdout([&] { EXPECT_FALSE(saveXmlDocument(c.path, &document)); });
    EXPECT_EQ("", out);
    EXPECT_EQ(before, harness::shell(std::string("stat -c '%F %i %s %Y' ") + c.path));
    EXPECT_EQ(c.kind, before[0]);
    EXPECT_EQ(listed, harness::shell("ls -A /tmp/x"));
  }
  EXPECT_EQ("keep\n", harness::shell("ls -A /tmp/x/directory.xml"));
  EXPECT_EQ("kept", harness::readFile("/tmp/x/directory.xml/keep"));
}

TEST_F(Xml, RenameFileAndAlwaysTrue) {
  std::string p = make("old.xml", "<a/>");
  EXPECT_TRUE(renameFile(p.c_str(), (p + ".moved").c_str()));
  EXPECT_EQ(harness::readFile(p + ".moved"), "<a/>");
  EXPECT_FALSE(renameFile(p.c_str(), (p + ".again").c_str()));
  EXPECT_EQ(alwaysTrue(nullptr), 1);
  EXPECT_EQ(alwaysTrue(&p), 1);
}

TEST(XmlIndent, WidthsAndClamping) {
  EXPECT_STREQ(xmlIndent(0), "");
  EXPECT_STREQ(xmlIndent(1), "+ ");
  EXPECT_STREQ(xmlIndent(2), "  + ");
  EXPECT_EQ(std::string(xmlIndent(20)), std::string(38, ' ') + "+ ");
  EXPECT_STREQ(xmlIndent(25), xmlIndent(20));
  EXPECT_STREQ(xmlIndent(-3), "");
  EXPECT_STREQ(xmlIndent(1 << 30), xmlIndent(20));
  EXPECT_STREQ(xmlIndentPlain(0), "");
  EXPECT_EQ(std::string(xmlIndentPlain(3)), "      ");
  EXPECT_EQ(std::string(xmlIndentPlain(99)), std::string(40, ' '));
  EXPECT_STREQ(xmlIndentPlain(-1), "");
}

TEST_F(Xml, DumpPrintsTheTreeExactly) {
  std::string p = make("dump.xml",
                       "<?xml version=\"1.0\" ?>\n"
                       "<!--note-->\n"
                       "<root>\n"
                       "  <empty/>\n"
                       "  <one n=\"7\">text</one>\n"
                       "  <two a=\"x\" b=\"2.5\"/>\n"
                       "</root>\n");
  std::string out = captureStdout([&] { dumpXmlFile(p.c_str()); });
  const std::string expected =
      "\n" + p + ":\n"
      "Document\n"
      "+ Declaration\n"
      "Leaving\n"
      "+ Comment: [note]\n"
      "Leaving\n"
      "+ Element [root]\n"
      "Returning attrib\n"
      " (No attributes)\n"
      "  + Element [empty]\n"
      "Returning attrib\n"
      " (No attributes)\n"
      "Leaving\n"
      "  + Element [one]\n"
      "    + n: value=[7] int=7 d=7.0\n"
      "Returning attrib\n"
      "    1 attribute\n"
      "    + Text: [text]\n"
      "Leaving\n"
      "Leaving\n"
      "  + Element [two]\n"
      "    + a: value=[x]\n"
      "    + b: value=[2.5] int=2 d=2.5\n"
      "Returning attrib\n"
      "    2 attributes\n"
      "Leaving\n"
      "Leaving\n"
      "Leaving\n";
  EXPECT_EQ(out, expected);

  std::string missing = dir_ + "/none.xml";
  out = captureStdout([&] { dumpXmlFile(missing.c_str()); });
  EXPECT_EQ(out, "Failed to load file \"" + missing + "\"\n");
  out = captureStdout([] {
    dumpXmlNode(nullptr, 0);
    EXPECT_EQ(dumpXmlAttributes(nullptr, 0), 0);
  });
  EXPECT_EQ(out, "");
}
