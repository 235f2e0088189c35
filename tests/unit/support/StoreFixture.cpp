#include "support/StoreFixture.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/LittleEndian.h"
#include "store/EmailHeader.h"

void StoreFixture::addEmail(std::string_view folder, int index, int length,
                            const std::string& subject) {
    EmailHeader header;
    header.from = "alice@example.org";
    header.to = "bob@example.org";
    header.subject = subject;
    header.day = 9;
    header.month = 3;
    header.year = 2006;
    header.hour = 8;
    header.minute = 5;
    header.headerLength = 20;
    header.textLength = length;
    header.delTime = 1141891500;
    ASSERT_TRUE(db().setEmailHeader(index, folder, header, messageText(length)));
}

void StoreFixture::raiseCounterTo(int value) {
    while (db().readCounter() < value) {
        db().getNextEmailIndex();
    }
}

std::string messageText(int length) {
    std::string text;
    for (int i = 0; i < length; ++i) {
        text.push_back(static_cast<char>('a' + i % 26));
    }
    return text;
}

std::string fileBytesAt(const std::string& path, std::int64_t offset, std::size_t size) {
    std::string bytes(size, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY);
    const ssize_t got = ::pread(fd, bytes.data(), size, offset);
    ::close(fd);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

std::int32_t fileInt32At(const std::string& path, std::int64_t offset) {
    const std::string bytes = fileBytesAt(path, offset, 4);
    return bytes.size() == 4 ? platform::getLeInt32(bytes.data()) : -2;
}

void putFileInt32At(const std::string& path, std::int64_t offset, std::int32_t value) {
    char bytes[4];
    platform::putLeInt32(bytes, value);
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, bytes, 4, offset), 4);
    ::close(fd);
}
