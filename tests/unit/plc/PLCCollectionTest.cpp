// The store loader as the server start-up runs it: the machine file read by TFileStore,
// then LoadPLCList. One table over what editors, other programs and accidents make of the
// file, and over stored values the dialog would refuse.
#include "plc/PLCCollection.h"
#include "app/FileStore.h"
#include "plc/DriverPool.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

namespace dravon {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The PLC list key line, and one PLC's name and host lines.
const std::string Head =
    "DRAVON-STORE 1\nkey HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\PLCList\"\n";
std::string Plc(int i, const std::string& name, const std::string& host = "127.0.0.1") {
    const std::string n = std::to_string(i);
    return "string \"PLCName" + n + "\" \"" + name + "\"\nstring \"PLCIP" + n + "\" \"" + host + "\"\n";
}

enum class TAfterSave { Written, CopyKept, Refused };

struct TLoaderCase {
    const char* Name;
    std::string Text;
    // Name|Host|TcpPort|TimeOut|SerialCom|SerialStatNo|DrvType|ProtocolType|Lump of every PLC loaded.
    std::vector<std::string> Plcs;
    // Every line reported (store problems first, then the PLC list's); %f is the file.
    std::vector<std::string> Lines;
    TAfterSave AfterSave;
    // The PLC list's keys as saved, their lines one " | " apart (empty: not compared).
    std::string Saved = {};
};

std::string Describe(const THitachiPLC& plc) {
    char lump[16];
    std::snprintf(lump, sizeof lump, "%X", plc.Lump);
    return plc.Name + "|" + plc.Host + "|" + std::to_string(plc.TcpPort) + "|" + std::to_string(plc.TimeOut) +
           "|" + std::to_string(plc.SerialCom) + "|" + std::to_string(plc.SerialStatNo) + "|" +
           std::to_string(plc.DrvType) + "|" + std::to_string(plc.ProtocolType) + "|" + lump;
}

TEST(PLCCollectionTest, StoreLoaderTable) {
    const std::string skipped = "Store file %f line ";
    const std::string notAStore =
        "Store file %f is not a Dravon store file (its first line is not \"DRAVON-STORE "
        "1\"); it is left as it is and stays read-only until it is mended or removed";
    // A PLC loaded with every default but its name and host.
    const auto plain = [](const std::string& name, const std::string& host = "127.0.0.1") {
        return name + "|" + host + "|3004|1000|1|0|0|0|FFFF0000";
    };
    const std::string a = plain("A"), one = Head + "dword \"Count\" 1\n" + Plc(0, "A");
    const std::string refusedHost = "host name \"h\\x0AServer shut down\" refused (control character, "
                                    "invalid UTF-8 or too long), no host used";
    // clang-format off
    const TLoaderCase cases[] = {
        // What a text editor makes of a file loads as it is.
        {"crlf bom blanks", "\xEF\xBB\xBF" "DRAVON-STORE 1\r\nkey HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\PLCList\"  \r\n"
         "\r\n  dword \"Count\" 1\t\r\nstring \"PLCName0\" \"A\" \r\nstring \"PLCIP0\" \"127.0.0.1\"\r\n", {a}, {}, TAfterSave::Written},
        // A count above the number of values is corrupt: only as many PLCs as there are values.
        {"count above the values", Head + "dword \"Count\" 5\n" + Plc(0, "A"), {a, plain("PLC2", "192.168.0.1"), plain("PLC3", "192.168.0.1")}, {}, TAfterSave::Written},
        {"last line without its line end", one + "dword \"TimeOut0\" 70", {"A|127.0.0.1|3004|70|1|0|0|0|FFFF0000"}, {}, TAfterSave::Written},
        // Every value of the format as stored; a driver type or protocol outside 1-3 loads as 0.
        {"every value", Head + "dword \"Count\" 3\n" + Plc(0, "A") +
             "dword \"PLCTcpPort0\" 3010\ndword \"Lump0\" 305419896\ndword \"TimeOut0\" 250\ndword \"SerialCom0\" 3\n"
             "dword \"SerialStatNo0\" 7\ndword \"DrvType0\" 3\ndword \"ProtocolType0\" 2\n" + Plc(1, "B", std::string(253, 'h')) +
             "dword \"DrvType1\" 7\ndword \"ProtocolType1\" 3\n" + Plc(2, "C") + "dword \"DrvType2\" 2\ndword \"ProtocolType2\" 9\n",
         {"A|127.0.0.1|3010|250|3|7|3|2|12345678", "B|" + std::string(253, 'h') + "|3004|1000|1|0|0|3|FFFF0000", "C|127.0.0.1|3004|1000|1|0|2|0|FFFF0000"},
         {}, TAfterSave::Written},
        // One bad line is skipped and named; the rest loads; the first save keeps a copy.
        {"negative dword", Head + "dword \"Count\" 2\n" + Plc(0, "A") + "dword \"TimeOut0\" -5\n" + Plc(1, "B"), {a, plain("B")},
         {skipped + "6 skipped: dword not a number from 0 to 4294967295"}, TAfterSave::CopyKept},
        {"second spelling of a name", one + "string \"plcname0\" \"X\"\n", {a},
         {skipped + "6 skipped: second spelling of value \"PLCName0\""}, TAfterSave::CopyKept},
        {"cut last line", Head + "dword \"Count\" 2\n" + Plc(0, "A") + "string \"PLCName1\" \"B", {a, plain("PLC2", "192.168.0.1")},
         {skipped + "6 skipped: text without closing quote"}, TAfterSave::CopyKept},
        {"unknown root and its values", one + "key HKEY_USERS \"x\"\ndword \"y\" 1\nbinary \"z\" 00\n", {a},
         {skipped + "6 skipped: unknown root HKEY_USERS", skipped + "7 skipped: value of the key skipped at line 6",
          skipped + "8 skipped: unknown record \"binary\""}, TAfterSave::CopyKept},
        // A file that is not a store is never overwritten.
        {"not a store", "\x01\x02 not a store \xFF\n", {}, {notAStore}, TAfterSave::Refused},
        {"no header", "dword \"Count\" 1\n", {}, {notAStore}, TAfterSave::Refused},
        // Values the dialog would refuse are replaced, naming the PLC and the value.
        {"time-out too long", one + "dword \"TimeOut0\" 2147483647\n", {"A|127.0.0.1|3004|99999|1|0|0|0|FFFF0000"},
         {"PLC A: TimeOut0 2147483647 out of range 0-99999, 99999 used"}, TAfterSave::Written},
        {"ports and station", one + "dword \"PLCTcpPort0\" 70000\ndword \"SerialCom0\" 9\ndword \"SerialStatNo0\" 40\n", {a},
         {"PLC A: PLCTcpPort0 70000 out of range 0-65535, 3004 used", "PLC A: SerialCom0 9 out of range 1-8, 1 used",
          "PLC A: SerialStatNo0 40 out of range 0-31, 0 used"}, TAfterSave::Written},
        {"duplicate and dotted names", Head + "dword \"Count\" 3\n" + Plc(0, "A") + Plc(1, "a") + Plc(2, "x.y/z"),
         {a, plain("PLC2"), plain("x_y_z")},
         {"PLC PLC2: name \"a\" used by an earlier PLC, PLC2 used", "PLC PLC3: name \"x.y/z\" holds \"/\" or \".\", x_y_z used"},
         TAfterSave::Written},
        {"names refused", Head + "dword \"Count\" 2\n" + Plc(0, "sys") + Plc(1, "\\x1B[2J"), {plain("PLC1"), plain("PLC2")},
         {"PLC PLC1: name \"sys\" refused, PLC1 used", "PLC PLC2: name \"\\x1B[2J\" refused, PLC2 used"}, TAfterSave::Written},
        {"host names refused", Head + "dword \"Count\" 2\n" + Plc(0, "A", "h\\x0AServer shut down") + Plc(1, "B", "\\xFF"),
         {plain("A", ""), plain("B", "")},
         {"PLC A: " + refusedHost, "PLC B: host name \"\\xFF\" refused (control character, invalid UTF-8 or too long), no host used"},
         TAfterSave::Written},
        // Saved literally: every value name in order, and the serial ports.
        {"saved", Head + "dword \"Count\" 2\n" + Plc(0, "PLC1") + "dword \"PLCTcpPort0\" 3010\ndword \"TimeOut0\" 250\n"
             "dword \"Lump0\" 305419896\ndword \"DrvType0\" 2\ndword \"ProtocolType0\" 3\n" + Plc(1, "PLC2", "192.168.0.1") +
             "dword \"SerialCom1\" 3\ndword \"SerialStatNo1\" 7\ndword \"DrvType1\" 3\ndword \"ProtocolType1\" 2\n"
             "key HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\PLCList\\\\Serial Ports\"\n"
             "dword \"BaudRate2\" 9600\ndword \"MultiDrop2\" 1\ndword \"TrnsProc2\" 1\n",
         {"PLC1|127.0.0.1|3010|250|1|0|2|3|12345678", "PLC2|192.168.0.1|3004|1000|3|7|3|2|FFFF0000"}, {}, TAfterSave::Written,
         R"(key HKEY_LOCAL_MACHINE "SOFTWARE\\Norvane\\Dravon\\PLCList" | dword "Count" 2 | dword "DrvType0" 2 | )"
         R"(dword "DrvType1" 3 | dword "Lump0" 305419896 | dword "Lump1" 4294901760 | string "PLCIP0" "127.0.0.1" | )"
         R"(string "PLCIP1" "192.168.0.1" | string "PLCName0" "PLC1" | string "PLCName1" "PLC2" | )"
         R"(dword "PLCTcpPort0" 3010 | dword "PLCTcpPort1" 3004 | dword "ProtocolType0" 3 | dword "ProtocolType1" 2 | )"
         R"(dword "SerialCom0" 1 | dword "SerialCom1" 3 | dword "SerialStatNo0" 0 | dword "SerialStatNo1" 7 | )"
         R"(dword "TimeOut0" 250 | dword "TimeOut1" 1000 | )"
         R"(key HKEY_LOCAL_MACHINE "SOFTWARE\\Norvane\\Dravon\\PLCList\\Serial Ports" | )"
         R"(dword "BaudRate0" 4294967295 | dword "BaudRate1" 4294967295 | dword "BaudRate2" 9600 | )"
         R"(dword "BaudRate3" 4294967295 | dword "BaudRate4" 4294967295 | dword "BaudRate5" 4294967295 | )"
         R"(dword "BaudRate6" 4294967295 | dword "BaudRate7" 4294967295 | dword "MultiDrop0" 0 | dword "MultiDrop1" 0 | )"
         R"(dword "MultiDrop2" 1 | dword "MultiDrop3" 0 | dword "MultiDrop4" 0 | dword "MultiDrop5" 0 | )"
         R"(dword "MultiDrop6" 0 | dword "MultiDrop7" 0 | dword "TrnsProc0" 0 | dword "TrnsProc1" 0 | )"
         R"(dword "TrnsProc2" 1 | dword "TrnsProc3" 0 | dword "TrnsProc4" 0 | dword "TrnsProc5" 0 | )"
         R"(dword "TrnsProc6" 0 | dword "TrnsProc7" 0 | )"},
    };
    // clang-format on
    const fs::path dir = fs::temp_directory_path() / "dravon-PLCCollectionTest";
    for (const TLoaderCase& c : cases) {
        SCOPED_TRACE(c.Name);
        fs::remove_all(dir);
        fs::create_directories(dir);
        const fs::path machine = dir / "machine.store";
        std::ofstream(machine, std::ios::binary) << c.Text;

        test::TTestContext t;
        TFileStore store(machine.string(), (dir / "user.store").string());
        t.Context.Store = &store;
        for (const std::string& line : store.TakeProblems()) t.Log.Add(line, false);
        TPLCCollection plcs(t.Context);
        plcs.LoadPLCList();

        std::vector<std::string> loaded;
        for (int i = 0; i < plcs.Count(); ++i) loaded.push_back(Describe(plcs.PLCByIndex(i)));
        EXPECT_EQ(loaded, c.Plcs);
        for (std::string& line : t.Capture.Lines)
            if (auto at = line.find(machine.string()); at != std::string::npos)
                line.replace(at, machine.string().size(), "%f");
        EXPECT_EQ(t.Capture.Lines, c.Lines);
        EXPECT_EQ(ReadFile(machine), c.Text); // loading never writes

        if (!c.Saved.empty()) fs::remove(machine); // removed meanwhile: saved afresh
        EXPECT_EQ(plcs.SavePLCList(nullptr), c.AfterSave != TAfterSave::Refused);
        std::string saved = ReadFile(machine);
        EXPECT_EQ(saved == c.Text, c.AfterSave == TAfterSave::Refused); // a refused file is left as it is
        if (!c.Saved.empty()) {
            saved = saved.substr(
                saved.find("key HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\PLCList\""));
            saved = saved.substr(0, saved.find("key HKEY_CLASSES_ROOT"));
            for (std::size_t at; (at = saved.find('\n')) != std::string::npos;) saved.replace(at, 1, " | ");
            EXPECT_EQ(saved, c.Saved);
        }
        EXPECT_EQ(fs::exists(machine.string() + ".corrupt.1"), c.AfterSave == TAfterSave::CopyKept);
        if (c.AfterSave == TAfterSave::CopyKept) {
            EXPECT_EQ(ReadFile(machine.string() + ".corrupt.1"), c.Text);
            // What was saved loads cleanly with the same PLCs.
            TFileStore again(machine.string(), (dir / "user.store").string());
            EXPECT_EQ(again.MachineFileState(), TStoreFileState::Loaded);
            EXPECT_TRUE(again.TakeProblems().empty());
        }
    }
    fs::remove_all(dir);
}

} // namespace
} // namespace dravon
