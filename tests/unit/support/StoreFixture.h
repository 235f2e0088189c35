#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "doubles/RecordingDesktop.h"
#include "store/Database.h"
#include "support/TempDirectory.h"

// A fresh store in a fresh working directory, with a recording desktop.
class StoreFixture : public ::testing::Test {
  protected:
    StoreFixture() : m_database(std::make_unique<CDatabase>(m_desktop)) {}

    CDatabase& db() { return *m_database; }
    RecordingDesktop& desktop() { return m_desktop; }
    // Builds the store object again from the file, as a new start would.
    void reopen() {
        m_database.reset();
        m_database = std::make_unique<CDatabase>(m_desktop);
    }

    // Stores an email with the given number and a text of `length` bytes.
    void addEmail(std::string_view folder, int index, int length = 40,
                  const std::string& subject = "hello");
    // Takes numbers from the counter until it stands at `value`.
    void raiseCounterTo(int value);

    TempDirectory m_directory;
    RecordingDesktop m_desktop;
    std::unique_ptr<CDatabase> m_database;
};

std::int32_t fileInt32At(const std::string& path, std::int64_t offset);
void putFileInt32At(const std::string& path, std::int64_t offset, std::int32_t value);
std::string fileBytesAt(const std::string& path, std::int64_t offset, std::size_t size);
std::string messageText(int length);
