#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ScriptedPrompter.h"
#include "proxy/ProcessObjects.h"
#include "support/TempDirectory.h"
#include "ui/QtDesktop.h"
#include "ui/ViewContext.h"

// A loopback port in the proxy's range (1025 to 5000) that nobody listens on
// just now; 0 when none was found.
int freeLocalPort();

// A whole process's objects in a fresh working directory, for the views under
// test: the store, filter, lists and flags, the Qt Desktop and a scripted
// prompter. Make one per test function (QtTest has no per-test fixture).
class UiFixture {
  public:
    // `nameServerPort` is where the resolver sends its queries: a test's own
    // name server on 127.0.0.1 listens on a port of its choosing.
    explicit UiFixture(std::uint16_t nameServerPort = 53);
    ~UiFixture();

    ProcessObjects& objects() { return *m_objects; }
    CDatabase& store() { return m_objects->store; }
    QtDesktop& desktop() { return *m_desktop; }
    ScriptedPrompter& prompter() { return m_prompter; }
    ViewContext& context() { return *m_context; }

    // Stores an email in `folder` with a new index number and returns the number.
    int addEmail(std::string_view folder, const std::string& subject = "hello",
                 const std::string& from = "Sender <sender@example.com>",
                 const std::string& body = "Plain words of a message.");
    // Fills `folder` with `count` emails numbered in order.
    void fill(std::string_view folder, int count);

    // A filter table built from one spam and one good email, switched on.
    void trainFilter(const std::string& spamWords, const std::string& goodWords);

  private:
    TempDirectory m_directory;
    std::unique_ptr<QtDesktop> m_desktop;
    std::unique_ptr<ProcessObjects> m_objects;
    ScriptedPrompter m_prompter;
    std::unique_ptr<ViewContext> m_context;
};
