// The camera daemon without a running network: its tables, file-name
// patterns, header cards from own and peer properties, and saved images.
#include <dirent.h>
#include <fitsio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "corvo/camera.h"
#include "corvo/command.h"
#include "corvo/image_service.h"
#include "corvo/misc.h"
#include "corvo/peer.h"
#include "support/captured_output.h"
#include "support/temp_dir.h"

using namespace corvo;

namespace {

class TestCamera : public Camera {
public:
    // Parses `args` as the command line and takes the effective name.
    void configure(std::vector<const char*> args = {})
    {
        args.insert(args.begin(), "camera");
        optionParser.parseArgs(static_cast<int>(args.size()), args.data());
        processOptions();
    }
    // A network node that is never started: it holds the peer table and
    // drops every message. The logger writes to it and to the console.
    void attachNetwork()
    {
        network = std::make_shared<Network>(this, false);
        logger.init(name, spdlog::level::info, network.get());
    }
    void addPeer(const std::string& peerName, const std::string& uuid, std::vector<Property> props)
    {
        // As the node learns of a peer: it enters, then describes itself.
        NetworkEvent enter;
        enter.type = "ENTER";
        enter.peerUuid = uuid;
        enter.peerName = peerName;
        enter.peerAddress = "tcp://127.0.0.1:1";
        network->handleEvent(enter);
        corvo::proto::Info info;
        for (auto& p : props)
            *info.add_properties() = p.serialize();
        network->parseInfo(network->peers().byUuid(uuid), info);
    }
    Property& prop(const std::string& key) { return *properties.at(key); }
    const std::map<std::string, std::shared_ptr<Property>>& props() const { return properties; }
    const std::map<unsigned int, std::string>& statuses() const { return statusList; }
    const std::unordered_map<std::string, CommandDef>& commandTable() const { return commands; }

    int exposeCalls = 0, tempCalls = 0, currentCalls = 0, powerCalls = 0;

protected:
    void doReadTemp() override { ++tempCalls; }
    void doReadCurrent() override { ++currentCalls; }
    void doSwitchPower() override { ++powerCalls; }
    void doExpose() override { ++exposeCalls; }
    void doAbort() override {}
};

Property makeProperty(const std::string& name, Property::Type type)
{
    return Property(name, type, "", false, nullptr);
}

// Fixed broken-down time: 21:05:09 on 6 December 2026.
std::tm fixedTime()
{
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_hour = 21;
    t.tm_min = 5;
    t.tm_sec = 9;
    return t;
}

// HOME and CORVO_CONF_PATH point into a fresh directory for each test, so
// that the camera's configuration manager finds only what the test puts
// there.
class CameraTest : public testing::Test {
protected:
    void SetUp() override
    {
        dir = tree.path();
        confDir = dir + "/conf";
        mkdir(confDir.c_str(), 0755);
        saveEnv("HOME", savedHome);
        saveEnv("CORVO_CONF_PATH", savedConf);
        setenv("HOME", (dir + "/home").c_str(), 1);
        setenv("CORVO_CONF_PATH", confDir.c_str(), 1);
    }
    void TearDown() override
    {
        restoreEnv("HOME", savedHome);
        restoreEnv("CORVO_CONF_PATH", savedConf);
    }
    void writeTemplate(const std::string& text) { std::ofstream(confDir + "/fitshdr.txt") << text; }

    corvotest::TempDir tree{"corvo-camera"};
    std::string dir;
    std::string confDir;

private:
    struct Saved {
        bool set = false;
        std::string value;
    };
    static void saveEnv(const char* key, Saved& saved)
    {
        const char* value = getenv(key);
        saved.set = value != nullptr;
        saved.value = value ? value : "";
    }
    static void restoreEnv(const char* key, const Saved& saved)
    {
        if (saved.set)
            setenv(key, saved.value.c_str(), 1);
        else
            unsetenv(key);
    }
    Saved savedHome, savedConf;
};

struct Card {
    bool found = false;
    std::string value;
    std::string comment;
};

Card readCard(const std::string& file, const char* key)
{
    Card card;
    fitsfile* fptr = nullptr;
    int status = 0;
    if (ffopen(&fptr, file.c_str(), READONLY, &status) != 0)
        return card;
    char value[FLEN_VALUE] = {0}, comment[FLEN_COMMENT] = {0};
    if (ffgkey(fptr, key, value, comment, &status) == 0) {
        card.found = true;
        card.value = value;
        card.comment = comment;
    }
    status = 0;
    ffclos(fptr, &status);
    return card;
}

std::vector<std::string> keywords(const std::string& file)
{
    std::vector<std::string> names;
    fitsfile* fptr = nullptr;
    int status = 0, keys = 0, more = 0;
    if (ffopen(&fptr, file.c_str(), READONLY, &status) != 0)
        return names;
    ffghsp(fptr, &keys, &more, &status);
    for (int i = 1; i <= keys; ++i) {
        char name[FLEN_KEYWORD] = {0}, value[FLEN_VALUE] = {0};
        ffgkyn(fptr, i, name, value, nullptr, &status);
        names.push_back(name);
    }
    ffclos(fptr, &status);
    return names;
}

}  // namespace

// --- What the camera offers ----------------------------------------------------

TEST_F(CameraTest, PropertiesWithUnitsDescriptionsAndAccess)
{
    TestCamera camera;
    struct Expected {
        const char* name;
        Property::Type type;
        const char* egu;
        const char* description;
        bool writable;
    };
    const Expected expected[] = {
        {"model", Property::STRING, "", "camera model", false},
        {"imgw", Property::INT, "px", "image width", false},
        {"imgh", Property::INT, "px", "image height", false},
        {"datatype", Property::INT, "", "pixel data type", false},
        {"expotime", Property::DOUBLE, "s", "exposure time", true},
        {"starttime", Property::STRING, "", "exposure start time", false},
        {"filepattern", Property::STRING, "", "image filename pattern", true},
        {"filename", Property::STRING, "", "last image filename", false},
        {"current", Property::DOUBLE, "A", "a test current value", true},
        {"temperature", Property::DOUBLE, "DC", "a test temp value", true},
        {"imageroot", Property::STRING, "", "directory that holds every image", false},
    };
    EXPECT_EQ(camera.props().size(), 11u);
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name);
        ASSERT_TRUE(camera.props().count(e.name));
        const Property& p = camera.prop(e.name);
        EXPECT_EQ(p.type, e.type);
        EXPECT_EQ(p.egu, e.egu);
        EXPECT_EQ(p.description, e.description);
        EXPECT_EQ(p.writable, e.writable);
    }
    EXPECT_EQ(camera.prop("filepattern").toString(), "");
    EXPECT_EQ(camera.prop("expotime").toString(), "0.000000");
}

TEST_F(CameraTest, DatatypeOffersTheEightImageTypes)
{
    TestCamera camera;
    Property& datatype = camera.prop("datatype");
    EXPECT_EQ(datatype.getValue<long>(), 20);
    EXPECT_EQ(datatype.toString(), "UINT16");
    const std::map<int32_t, std::string> choices = {{10, "INT8"},  {8, "UINT8"},   {16, "INT16"},  {20, "UINT16"},
                                                    {32, "INT32"}, {40, "UINT32"}, {-32, "FLOAT"}, {-64, "DOUBLE"}};
    EXPECT_EQ(datatype.choices, choices);
}

TEST_F(CameraTest, StatusValuesAndCommands)
{
    TestCamera camera;
    const std::map<unsigned int, std::string> statuses = {
        {0, "IDLE"}, {1, "EXPOSE"}, {2, "READOUT"}, {3, "POWERON"}, {4, "POWEROFF"}};
    EXPECT_EQ(camera.statuses(), statuses);

    const std::map<std::string, std::string> descriptions = {{"expose", "take exposure"},
                                                             {"switch", "turn on/off the power"},
                                                             {"readtemp", "read the temperature"},
                                                             {"readcurrent", "test function to change the current"}};
    EXPECT_EQ(camera.commandTable().size(), descriptions.size());
    for (const auto& d : descriptions) {
        ASSERT_TRUE(camera.commandTable().count(d.first)) << d.first;
        const CommandDef& def = camera.commandTable().at(d.first);
        EXPECT_EQ(def.name, d.first);
        EXPECT_EQ(def.description, d.second);
        EXPECT_TRUE(def.args.empty());
    }
}

TEST_F(CameraTest, CommandsReachTheirHooksThroughTheDispatch)
{
    TestCamera camera;
    camera.configure();
    camera.attachNetwork();
    auto peer = std::make_shared<Peer>("client", "uuid-client", "tcp://127.0.0.1:1");
    auto send = [&](std::string name, std::vector<std::string> args) {
        corvo::proto::Command command;
        command.set_cmd_name(name);
        for (auto& a : args)
            command.add_args(a);
        camera.onCommand(peer, command);
    };

    send("expose", {"1"});  // no arguments declared: refused
    EXPECT_EQ(camera.exposeCalls, 0);
    EXPECT_EQ(camera.prop("starttime").getValue<std::string>(), "");

    send("expose", {});
    EXPECT_EQ(camera.exposeCalls, 1);
    EXPECT_TRUE(std::regex_match(camera.prop("starttime").getValue<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})")));

    send("switch", {});
    send("readtemp", {});
    send("readtemp", {});
    send("readcurrent", {});
    EXPECT_EQ(camera.powerCalls, 1);
    EXPECT_EQ(camera.tempCalls, 2);
    EXPECT_EQ(camera.currentCalls, 1);
    EXPECT_EQ(camera.exposeCalls, 1);
}

// --- File-name patterns --------------------------------------------------------

TEST_F(CameraTest, ClockFieldsAndPercentRules)
{
    TestCamera camera;
    camera.configure();
    const std::tm t = fixedTime();
    EXPECT_EQ(camera.expandFilePattern("img_%y%m%d_%H%M%S.fits", t), "img_20261206_210509.fits");
    EXPECT_EQ(camera.expandFilePattern("100%%", t), "100%");
    EXPECT_EQ(camera.expandFilePattern("a%qb", t), "ab");
    EXPECT_EQ(camera.expandFilePattern("end%", t), "end");
    std::tm early{};
    early.tm_year = 5 - 1900;  // the year 5 is not padded
    early.tm_mon = 0;
    early.tm_mday = 2;
    EXPECT_EQ(camera.expandFilePattern("%y-%m-%d %H:%M:%S", early), "5-01-02 00:00:00");
}

TEST_F(CameraTest, OwnPropertyReferences)
{
    TestCamera camera;
    camera.configure();
    const std::tm t = fixedTime();
    camera.prop("expotime").setValue(1.5);
    EXPECT_EQ(camera.expandFilePattern("dark_${camera:expotime}.fits", t), "dark_1.500000.fits");
    EXPECT_EQ(camera.expandFilePattern("${camera:datatype}", t), "UINT16");
    EXPECT_EQ(camera.expandFilePattern("a_${nobody:x}_b.fits", t), "a__b.fits");
    EXPECT_EQ(camera.expandFilePattern("a_${camera:nothing}_b", t), "a__b");
    EXPECT_EQ(camera.expandFilePattern("$x$", t), "");
    EXPECT_EQ(camera.expandFilePattern("p$xq", t), "pq");
}

TEST_F(CameraTest, UnterminatedReferenceEndsTheName)
{
    TestCamera camera;
    camera.configure();
    const std::tm t = fixedTime();
    EXPECT_EQ(camera.expandFilePattern("img_${camera", t), "img_");
    EXPECT_EQ(camera.expandFilePattern("img_${camera:expotime.fits", t), "img_");
    EXPECT_EQ(camera.expandFilePattern("a${camera:expotime}b${", t), "a0.000000b");
}

TEST_F(CameraTest, OwnNameIsTheEffectiveComponentName)
{
    TestCamera camera;
    camera.configure({"--name", "cam2"});
    camera.attachNetwork();
    const std::tm t = fixedTime();
    EXPECT_EQ(camera.expandFilePattern("${cam2:datatype}", t), "UINT16");
    EXPECT_EQ(camera.expandFilePattern("${camera:datatype}", t), "");
}

TEST_F(CameraTest, PeerPropertyReferences)
{
    TestCamera camera;
    camera.configure();
    camera.attachNetwork();
    Property focus = makeProperty("position", Property::INT);
    focus.intValue = 1234;
    Property object = makeProperty("object", Property::STRING);
    object.strValue = "M31";
    camera.addPeer("focuser", "uuid-1", {focus});
    camera.addPeer("telescope", "uuid-2", {object});
    const std::tm t = fixedTime();
    EXPECT_EQ(camera.expandFilePattern("${telescope:object}_${focuser:position}.fits", t), "M31_1234.fits");
    EXPECT_EQ(camera.expandFilePattern("${focuser:object}", t), "");
}

// --- Header cards --------------------------------------------------------------

TEST_F(CameraTest, CardsFollowTheTemplateOrderAndPropertyTypes)
{
    TestCamera camera;
    camera.configure();
    camera.attachNetwork();
    Property big = makeProperty("steps", Property::INT);
    big.intValue = (1LL << 32) + 5;
    Property tags = makeProperty("tags", Property::STR_LIST);
    tags.strList = {"a", "b"};
    Property ambient = makeProperty("ambient", Property::DOUBLE);
    ambient.doubleValue = -3.25;
    camera.addPeer("mount", "uuid-m", {big, tags, ambient});
    camera.prop("model").setValue(std::string("SIM-1"));
    camera.prop("expotime").setValue(2.0);
    camera.prop("imgw").setValue(640L);

    const std::vector<FitsHdrMap> entries = {
        {"camera", "model", "INSTRUME", "camera model"},      {"mount", "steps", "STEPS", "64-bit value"},
        {"mount", "tags", "TAGS", "list: no card"},           {"nobody", "x", "NOBODY", "unknown component"},
        {"camera", "nothing", "NOTHING", "unknown property"}, {"camera", "expotime", "EXPTIME", "exposure time"},
        {"mount", "ambient", "AMBIENT", "peer double"},       {"camera", "imgw", "NAXIS1X", "own int"},
    };
    const auto cards = camera.buildHeaderCards(entries);
    ASSERT_EQ(cards.size(), 5u);
    EXPECT_EQ(cards[0].key, "INSTRUME");
    EXPECT_EQ(cards[0].type, TSTRING);
    EXPECT_EQ(cards[0].strValue, "SIM-1");
    EXPECT_EQ(cards[0].comment, "camera model");
    EXPECT_EQ(cards[1].key, "STEPS");
    EXPECT_EQ(cards[1].longValue, (1LL << 32) + 5);
    EXPECT_EQ(cards[2].key, "EXPTIME");
    EXPECT_EQ(cards[2].type, TDOUBLE);
    EXPECT_DOUBLE_EQ(cards[2].doubleValue, 2.0);
    EXPECT_EQ(cards[3].key, "AMBIENT");
    EXPECT_DOUBLE_EQ(cards[3].doubleValue, -3.25);
    EXPECT_EQ(cards[4].key, "NAXIS1X");
    EXPECT_EQ(cards[4].longValue, 640);
}

// --- Saving images -------------------------------------------------------------

TEST_F(CameraTest, EmptyPatternWritesNothing)
{
    TestCamera camera;
    camera.configure();
    camera.prop("imageroot").setValue(dir);
    camera.prop("filename").setValue(std::string("previous.fits"));
    std::vector<uint16_t> data(4);
    corvotest::CapturedDiagnostics captured;
    EXPECT_FALSE(camera.saveImage(data.data()));
    EXPECT_EQ(captured.stdoutText(), "");
    EXPECT_NE(captured.stderrText().find("no file pattern: image not saved"), std::string::npos)
        << captured.stderrText();
    EXPECT_EQ(camera.prop("filename").getValue<std::string>(), "previous.fits");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
        EXPECT_NE(entry.path().extension(), ".fits") << entry.path();
}

// A device that reports the true start of its exposures.
class StartReportingCamera : public TestCamera {
public:
    void publish(const Property& property) override
    {
        if (property.name == "starttime")
            starttimes.push_back(property.strValue);
        TestCamera::publish(property);
    }
    std::vector<std::string> starttimes;
    bool refuse = false;

protected:
    void doExpose() override
    {
        if (!refuse)
            exposureStarted();
    }
};

TEST_F(CameraTest, StarttimeIsBroadcastOncePerExposureAtItsTrueStart)
{
    StartReportingCamera camera;
    camera.configure();
    camera.startExposure();
    ASSERT_EQ(camera.starttimes.size(), 1u);
    EXPECT_FALSE(camera.starttimes[0].empty());
    // A refused request (an exposure already running) does not move it.
    camera.refuse = true;
    camera.startExposure();
    EXPECT_EQ(camera.starttimes.size(), 1u);
    camera.refuse = false;
    camera.startExposure();
    EXPECT_EQ(camera.starttimes.size(), 2u);
}

TEST_F(CameraTest, SavedImageCarriesTemplateCards)
{
    writeTemplate("#define CAM camera\n"
                  "EXPTIME => CAM:expotime \"exposure time\"\n"
                  "INSTRUME => CAM:model \"camera model\"\n"
                  "BIGINT => mount:steps \"64-bit\"\n"
                  "SMALLINT => mount:small \"32-bit\"\n"
                  "TAGS => mount:tags \"list\"\n"
                  "GONE => nobody:x \"unknown\"\n"
                  "BADLINE\n");
    TestCamera camera;
    camera.configure();
    camera.prop("imageroot").setValue(dir);
    camera.attachNetwork();
    Property big = makeProperty("steps", Property::INT);
    big.intValue = (1LL << 32) + 5;
    Property small = makeProperty("small", Property::INT);
    small.intValue = 5;
    Property tags = makeProperty("tags", Property::STR_LIST);
    camera.addPeer("mount", "uuid-m", {big, small, tags});
    camera.prop("model").setValue(std::string("SIM-1"));
    camera.prop("expotime").setValue(1.5);
    camera.prop("imgw").setValue(3L);
    camera.prop("imgh").setValue(2L);
    camera.prop("datatype").setValue(static_cast<long>(IMAGE_INT32));
    camera.prop("filepattern").setValue(dir + "/img/${camera:expotime}_%%.fits");

    std::vector<int32_t> data = {1, -2, 3, -4, 5, 2147483647};
    corvotest::CapturedDiagnostics captured;
    camera.saveImage(data.data());
    const std::string output = captured.stdoutText();

    const std::string file = dir + "/img/1.500000_%.fits";
    EXPECT_EQ(camera.prop("filename").getValue<std::string>(), file);
    EXPECT_EQ(output, confDir + "/fitshdr.txt:8 Wrong syntax\n");
    EXPECT_EQ(readCard(file, "EXPTIME").value, "1.5");
    EXPECT_EQ(readCard(file, "EXPTIME").comment, "exposure time");
    EXPECT_EQ(readCard(file, "INSTRUME").value, "'SIM-1   '");
    EXPECT_EQ(readCard(file, "BIGINT").value, "4294967301");
    EXPECT_EQ(readCard(file, "SMALLINT").value, "5");
    EXPECT_FALSE(readCard(file, "TAGS").found);
    EXPECT_FALSE(readCard(file, "GONE").found);

    fitsfile* fptr = nullptr;
    int status = 0;
    ASSERT_EQ(ffopen(&fptr, file.c_str(), READONLY, &status), 0);
    std::vector<int32_t> back(6);
    long first[2] = {1, 1};
    ffgpxv(fptr, TINT, first, 6, nullptr, back.data(), nullptr, &status);
    int bitpix = 0;
    ffgiet(fptr, &bitpix, &status);
    ffclos(fptr, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(bitpix, LONG_IMG);
    EXPECT_EQ(back, data);
}

TEST_F(CameraTest, MissingTemplateGivesOnlyTheMandatoryCards)
{
    TestCamera camera;
    camera.configure();
    camera.prop("imageroot").setValue(dir);
    camera.prop("imgw").setValue(2L);
    camera.prop("imgh").setValue(2L);
    camera.prop("filepattern").setValue(dir + "/bare.fits");
    std::vector<uint16_t> data = {0, 1, 65535, 7};
    corvotest::CapturedDiagnostics captured;
    camera.saveImage(data.data());
    EXPECT_EQ(captured.stdoutText(), "ERROR: Can't open FITS header file.\n");
    const std::vector<std::string> mandatory = {"SIMPLE",  "BITPIX",  "NAXIS", "NAXIS1", "NAXIS2", "EXTEND",
                                                "COMMENT", "COMMENT", "BZERO", "BSCALE", "DATE"};
    EXPECT_EQ(keywords(dir + "/bare.fits"), mandatory);
}

// The directory cannot be made below a plain file: nothing is announced and
// no file is left.
TEST_F(CameraTest, DirectoryThatCannotBeMadeAnnouncesNothing)
{
    std::ofstream(dir + "/plain").put('x');
    TestCamera camera;
    camera.configure();
    camera.prop("imageroot").setValue(dir);
    camera.prop("imgw").setValue(2L);
    camera.prop("imgh").setValue(2L);
    camera.prop("filepattern").setValue(dir + "/plain/sub/x.fits");
    std::vector<uint16_t> data(4);
    {
        corvotest::CapturedDiagnostics quiet;
        try {
            camera.saveImage(data.data());
            ADD_FAILURE() << "no exception";
        } catch (const CorvoError& e) {
            EXPECT_STREQ(e.what(), "Error occured during creating FITS file.");
        }
    }
    EXPECT_EQ(camera.prop("filename").getValue<std::string>(), "");
    EXPECT_EQ(camera.lastAnnouncement().name(), "");
    struct stat st;
    EXPECT_NE(stat((dir + "/plain/sub").c_str(), &st), 0);
}

TEST_F(CameraTest, ImageSizeBeyondTheWriterIsRefused)
{
    TestCamera camera;
    camera.configure();
    camera.prop("imageroot").setValue(dir);
    camera.prop("imgw").setValue((1L << 32) + 2);
    camera.prop("imgh").setValue(2L);
    camera.prop("filepattern").setValue(dir + "/wide.fits");
    std::vector<uint16_t> data(4);
    {
        corvotest::CapturedDiagnostics quiet;
        EXPECT_THROW(camera.saveImage(data.data()), CorvoError);
    }
    struct stat st;
    EXPECT_NE(stat((dir + "/wide.fits").c_str(), &st), 0);
}

TEST_F(CameraTest, EveryDatatypeIsSaved)
{
    TestCamera camera;
    camera.configure();
    camera.prop("imageroot").setValue(dir);
    camera.prop("imgw").setValue(2L);
    camera.prop("imgh").setValue(1L);
    const std::pair<ImageType, int> types[] = {{IMAGE_UINT8, TBYTE},    {IMAGE_INT8, TSBYTE},   {IMAGE_INT16, TSHORT},
                                               {IMAGE_UINT16, TUSHORT}, {IMAGE_INT32, TINT},    {IMAGE_UINT32, TUINT},
                                               {IMAGE_FLOAT, TFLOAT},   {IMAGE_DOUBLE, TDOUBLE}};
    for (const auto& t : types) {
        SCOPED_TRACE(t.first);
        camera.prop("datatype").setValue(static_cast<long>(t.first));
        camera.prop("filepattern").setValue(dir + "/t${camera:datatype}.fits");
        double pixels[2] = {0, 0};  // large enough for every type
        const double values[2] = {1, 100};
        int status = 0;
        // Fill the buffer in the image's own pixel type through cfitsio's
        // datatype sizes.
        switch (t.second) {
            case TBYTE: {
                auto* p = reinterpret_cast<uint8_t*>(pixels);
                p[0] = 1;
                p[1] = 100;
                break;
            }
            case TSBYTE: {
                auto* p = reinterpret_cast<int8_t*>(pixels);
                p[0] = 1;
                p[1] = 100;
                break;
            }
            case TSHORT: {
                auto* p = reinterpret_cast<int16_t*>(pixels);
                p[0] = 1;
                p[1] = 100;
                break;
            }
            case TUSHORT: {
                auto* p = reinterpret_cast<uint16_t*>(pixels);
                p[0] = 1;
                p[1] = 100;
                break;
            }
            case TINT: {
                auto* p = reinterpret_cast<int32_t*>(pixels);
                p[0] = 1;
                p[1] = 100;
                break;
            }
            case TUINT: {
                auto* p = reinterpret_cast<uint32_t*>(pixels);
                p[0] = 1;
                p[1] = 100;
                break;
            }
            case TFLOAT: {
                auto* p = reinterpret_cast<float*>(pixels);
                p[0] = 1;
                p[1] = 100;
                break;
            }
            default:
                pixels[0] = 1;
                pixels[1] = 100;
                break;
        }
        {
            corvotest::CapturedDiagnostics quiet;
            camera.saveImage(pixels);
        }

        const std::string file = camera.prop("filename").getValue<std::string>();
        fitsfile* fptr = nullptr;
        ASSERT_EQ(ffopen(&fptr, file.c_str(), READONLY, &status), 0) << file;
        int equivalent = 0;
        ffgiet(fptr, &equivalent, &status);
        double back[2] = {0, 0};
        long first[2] = {1, 1};
        ffgpxv(fptr, TDOUBLE, first, 2, nullptr, back, nullptr, &status);
        ffclos(fptr, &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(equivalent, t.first);
        EXPECT_EQ(back[0], values[0]);
        EXPECT_EQ(back[1], values[1]);
    }
}

// --- Hostile names and values ----------------------------------------------------

namespace {

std::vector<std::string> listDir(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

proto::PropertyChange patternRequest(const std::string& value)
{
    proto::PropertyChange change;
    change.set_name("filepattern");
    change.mutable_strval()->set_value(value);
    return change;
}

}  // namespace

TEST_F(CameraTest, PeerValuesCannotAddDirectoriesOrSyntax)
{
    TestCamera camera;
    camera.configure();
    camera.attachNetwork();
    Property object = makeProperty("object", Property::STRING);
    object.strValue = "../../etc/x(tpl)[1] !mem://";
    camera.addPeer("mount", "uuid-m", {object});
    EXPECT_EQ(camera.expandFilePattern("o_${mount:object}.fits", fixedTime()), "o_.._.._etc_x_tpl__1___mem___.fits");
}

TEST_F(CameraTest, NanCardIsSkippedAndThePixelsKept)
{
    writeTemplate("EXPTIME => camera:expotime \"exposure time\"\n"
                  "CCD-TEMP => camera:temperature \"sensor\"\n"
                  "INSTRUME => camera:model \"camera model\"\n");
    TestCamera camera;
    camera.configure();
    camera.prop("imageroot").setValue(dir);
    camera.prop("temperature").setValue(std::nan(""));
    camera.prop("expotime").setValue(std::numeric_limits<double>::infinity());
    camera.prop("model").setValue(std::string("SIM"));
    camera.prop("imgw").setValue(3L);
    camera.prop("imgh").setValue(2L);
    camera.prop("filepattern").setValue(std::string("nan.fits"));
    std::vector<uint16_t> data = {1, 2, 3, 65535, 0, 32768};
    corvotest::CapturedDiagnostics captured;
    camera.saveImage(data.data());
    const std::string warnings = captured.stderrText();
    EXPECT_NE(warnings.find("Header card CCD-TEMP skipped"), std::string::npos) << warnings;
    EXPECT_NE(warnings.find("Header card EXPTIME skipped"), std::string::npos) << warnings;

    const std::string file = dir + "/nan.fits";
    EXPECT_EQ(camera.prop("filename").getValue<std::string>(), file);
    EXPECT_EQ(readCard(file, "INSTRUME").value, "'SIM     '");
    EXPECT_FALSE(readCard(file, "CCD-TEMP").found);
    fitsfile* fptr = nullptr;
    int status = 0;
    ASSERT_EQ(ffopen(&fptr, file.c_str(), READONLY, &status), 0);
    std::vector<uint16_t> back(6);
    long first[2] = {1, 1};
    ffgpxv(fptr, TUSHORT, first, 6, nullptr, back.data(), nullptr, &status);
    ffclos(fptr, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(back, data);
}

TEST_F(CameraTest, SavesInTheSameSecondBothSurvive)
{
    TestCamera camera;
    camera.configure();
    camera.prop("imageroot").setValue(dir + "/images");
    camera.prop("imgw").setValue(2L);
    camera.prop("imgh").setValue(1L);
    camera.prop("filepattern").setValue(std::string("night/img.fits"));
    std::vector<std::string> announced;
    for (uint16_t i = 0; i < 3; ++i) {
        std::vector<uint16_t> data = {i, i};
        {
            corvotest::CapturedDiagnostics quiet;
            camera.saveImage(data.data());
        }
        announced.push_back(camera.prop("filename").getValue<std::string>());
    }
    const std::string night = dir + "/images/night/";
    EXPECT_EQ(announced, (std::vector<std::string>{night + "img.fits", night + "img_1.fits", night + "img_2.fits"}));
    EXPECT_EQ(listDir(night), (std::vector<std::string>{"img.fits", "img_1.fits", "img_2.fits"}));
}

// Each saved image is announced with the name a fetch asks for, the size
// and SHA-1 of the file as it lies on disk, its shape and pixel type, and
// the exposure; the announcement passes the receivers' checks.
TEST_F(CameraTest, EachSavedImageIsAnnouncedWithWhatTheFileHolds)
{
    TestCamera camera;
    camera.configure();
    camera.prop("imageroot").setValue(dir + "/images");
    camera.prop("imgw").setValue(3L);
    camera.prop("imgh").setValue(2L);
    camera.prop("datatype").setValue(static_cast<long>(IMAGE_UINT16));
    camera.prop("expotime").setValue(2.5);
    camera.prop("starttime").setValue(std::string("2026-12-08T23:00:00.125"));
    camera.prop("filepattern").setValue(std::string("night/img.fits"));
    for (uint16_t i = 0; i < 2; ++i) {
        std::vector<uint16_t> data = {i, 1, 2, 3, 4, 65535};
        corvotest::CapturedDiagnostics quiet;
        camera.saveImage(data.data());
    }
    const corvo::proto::ImageReady& ready = camera.lastAnnouncement();
    const std::string path = dir + "/images/night/img_1.fits";
    EXPECT_EQ(ready.name(), "night/img_1.fits");
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 2u * 2880u);
    Sha1 digest;
    digest.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    EXPECT_EQ(ready.size(), bytes.size());
    EXPECT_EQ(ready.sha1(), digest.hex());
    EXPECT_EQ(ready.width(), 3u);
    EXPECT_EQ(ready.height(), 2u);
    EXPECT_EQ(ready.datatype(), IMAGE_UINT16);
    EXPECT_EQ(ready.exposure_start(), "2026-12-08T23:00:00.125");
    EXPECT_DOUBLE_EQ(ready.exposure_length(), 2.5);  // nothing measured: the setting
    EXPECT_EQ(ready.saved().size(), std::string("2026-12-08T23:00:00.125").size());

    const std::string wire = ready.SerializeAsString();
    corvo::proto::ImageReady back;
    std::string problem;
    EXPECT_TRUE(parseImageReady(reinterpret_cast<const unsigned char*>(wire.data()), wire.size(), back, problem))
        << problem;
    EXPECT_EQ(back.sha1(), ready.sha1());
}

TEST_F(CameraTest, NamesOutsideTheRootAreNeverWritten)
{
    TestCamera camera;
    camera.configure();
    const std::string root = dir + "/images";
    camera.prop("imageroot").setValue(root);
    camera.prop("imgw").setValue(2L);
    camera.prop("imgh").setValue(1L);
    mkdir(root.c_str(), 0755);
    mkdir((dir + "/outside").c_str(), 0755);
    ASSERT_EQ(symlink((dir + "/outside").c_str(), (root + "/link").c_str()), 0);
    std::vector<uint16_t> data = {1, 2};
    for (const std::string& pattern : {dir + "/outside/a.fits", std::string("../outside/b.fits"),
                                       std::string("link/c.fits"), root + "/../outside/d.fits"}) {
        SCOPED_TRACE(pattern);
        camera.prop("filepattern").setValue(pattern);
        {
            corvotest::CapturedDiagnostics quiet;
            EXPECT_THROW(camera.saveImage(data.data()), CorvoError);
        }
    }
    EXPECT_EQ(listDir(dir + "/outside"), std::vector<std::string>{});
    EXPECT_EQ(listDir(root), std::vector<std::string>{"link"});
    EXPECT_EQ(camera.prop("filename").getValue<std::string>(), "");
}

// A peer's request for a pattern that leaves the root changes nothing; one
// inside it is applied.
TEST_F(CameraTest, PatternLeavingTheRootIsRefusedWhenSet)
{
    TestCamera camera;
    camera.configure();
    camera.attachNetwork();
    camera.prop("imageroot").setValue(dir + "/images");
    camera.prop("filepattern").setValue(std::string("ok.fits"));
    auto peer = std::make_shared<Peer>("intruder", "uuid-i", "tcp://127.0.0.1:1");
    for (const std::string& bad : {std::string("../x.fits"), std::string("/etc/x.fits"), dir + "/x.fits",
                                   std::string("a/../../x.fits"), std::string("night/")}) {
        SCOPED_TRACE(bad);
        // The refusal goes to the camera's log, which writes to the console.
        std::string output;
        {
            corvotest::CapturedDiagnostics captured;
            corvotest::CapturedStream console(STDOUT_FILENO);
            camera.onPropertyCommand(peer, patternRequest(bad));
            output = console.take() + captured.text();
        }
        EXPECT_EQ(camera.prop("filepattern").getValue<std::string>(), "ok.fits");
        EXPECT_NE(output.find("intruder"), std::string::npos) << output;
    }
    {
        corvotest::CapturedDiagnostics quiet;
        corvotest::CapturedStream console(STDOUT_FILENO);
        camera.onPropertyCommand(peer, patternRequest(dir + "/images/%y/new.fits"));
    }
    EXPECT_EQ(camera.prop("filepattern").getValue<std::string>(), dir + "/images/%y/new.fits");
}
