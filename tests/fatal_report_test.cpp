#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "session/fatal.h"

namespace {

const std::string HEAD = "\n\nAn Error has occurred as follows:\n          ";
const std::string CLOSING = "\n\n The program will now abort\n\n\n";

std::string report(const char *message, uint32_t code, const char *description,
                   size_t capacity = FATAL_REPORT_CAPACITY)
{
    std::string buffer(capacity + 16, '#');  // '#' past the end shows overruns
    size_t len = compose_fatal_report(&buffer[0], capacity, message, code, description);
    EXPECT_LT(len, capacity);
    EXPECT_EQ(buffer[len], '\0');
    EXPECT_EQ(buffer[capacity], '#') << "wrote past the buffer";
    EXPECT_EQ(strlen(buffer.c_str()), len);
    return buffer.substr(0, len);
}

TEST(FatalReport, WithoutAnErrorCodeThereIsNoErrorLine)
{
    EXPECT_EQ(report("Could not create dialog", 0, "ignored\r\n"),
              HEAD + "Could not create dialog\n" + CLOSING);
}

TEST(FatalReport, NamesTheCodeAndTheSystemsDescription)
{
    EXPECT_EQ(report("Unable to open serial port. In use already, or not present", 2,
                     "The system cannot find the file specified.\r\n"),
              HEAD + "Unable to open serial port. In use already, or not present\n"
                     "Error number 2 reported\n"
                     "The system cannot find the file specified.\r\n" + CLOSING);
}

TEST(FatalReport, ACodeWithoutDescriptionKeepsOnlyTheErrorLine)
{
    EXPECT_EQ(report("m", 4242, ""), HEAD + "m\nError number 4242 reported\n" + CLOSING);
    EXPECT_EQ(report("m", 4242, NULL), HEAD + "m\nError number 4242 reported\n" + CLOSING);
}

TEST(FatalReport, CodesPrintAsSigned32BitNumbers)
{
    EXPECT_NE(report("m", 0x80070005u, "").find("Error number -2147024891 reported\n"),
              std::string::npos);
}

TEST(FatalReport, InsertSequencesAreShownAsTheyStand)
{
    EXPECT_EQ(report("m", 193, "%1 is not a valid Win32 application. %s %n %%\r\n"),
              HEAD + "m\nError number 193 reported\n"
                     "%1 is not a valid Win32 application. %s %n %%\r\n" + CLOSING);
}

TEST(FatalReport, ALongDescriptionIsCutAndTheClosingTextKept)
{
    std::string description(3000, 'd');
    std::string text = report("m", 5, description.c_str());
    EXPECT_EQ(text.size(), (size_t)FATAL_REPORT_CAPACITY - 1);
    EXPECT_EQ(text.substr(0, HEAD.size()), HEAD);
    EXPECT_EQ(text.substr(text.size() - CLOSING.size()), CLOSING);
    EXPECT_NE(text.find("Error number 5 reported\nddd"), std::string::npos);
}

TEST(FatalReport, ALongMessageIsCutToo)
{
    std::string message(5000, 'm');
    std::string text = report(message.c_str(), 0, NULL);
    EXPECT_EQ(text.size(), (size_t)FATAL_REPORT_CAPACITY - 1);
    EXPECT_EQ(text.substr(text.size() - CLOSING.size()), CLOSING);
}

TEST(FatalReport, SmallBuffersStayBounded)
{
    EXPECT_EQ(report("m", 5, "d", 1), "");
    EXPECT_EQ(report("m", 5, "d", 10), CLOSING.substr(0, 9));
    EXPECT_EQ(report("m", 5, "d", CLOSING.size() + 1), CLOSING);
    EXPECT_EQ(report("m", 5, "d", CLOSING.size() + 3), "\n\n" + CLOSING);
    EXPECT_EQ(compose_fatal_report(NULL, 10, "m", 0, NULL), 0u);
}

TEST(FatalReport, NoMessageIsAnEmptyLine)
{
    EXPECT_EQ(report(NULL, 0, NULL), HEAD + "\n" + CLOSING);
}

}  // namespace
