#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "system/bounded_string.h"
#include "system/file_removal.h"
#include "system/handles.h"
#include "system/held_folder.h"
#include "system/native_files.h"
#include "system/responsiveness.h"
#include "system/system_exports.h"
#include "system/what_stays.h"

namespace {

// Volumes as Wine cannot have them. Each answers the POSIX disposition
// with posixAnswer, or where that is 0 as Windows does, deleting with the
// old mark, which Wine has; refuse makes every mark that is tried fail as
// a running program's image does; keepsReadOnly makes the flag that
// ignores read-only an invalid parameter, as Windows 10 1607 to 1803 do.
// The volume serial number is volume's.
struct FakeVolume {
    ULONG volume;
    NTSTATUS posixAnswer;
    bool refuse;
    bool keepsReadOnly = false;
};
FakeVolume gFake;
std::vector<ULONG> gPosixFlags;  // each POSIX mark asked, its flags
const FILE_INFORMATION_CLASS kDispositionEx = static_cast<FILE_INFORMATION_CLASS>(64);
const NTSTATUS kCannotDelete = static_cast<NTSTATUS>(0xC0000121L);
const ULONG kIgnoreReadOnly = 0x10;

SetFileInformationCall RealSetInformation()
{
    return LookUpExport<SetFileInformationCall>(L"ntdll", "NtSetInformationFile");
}

NTSTATUS NTAPI FakeSetInformation(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG size,
                                  FILE_INFORMATION_CLASS kind)
{
    if (kind == kDispositionEx) {
        const ULONG flags = *static_cast<ULONG*>(information);
        gPosixFlags.push_back(flags);
        if (gFake.posixAnswer != 0)
            return gFake.posixAnswer;
        if (gFake.keepsReadOnly && (flags & kIgnoreReadOnly) != 0)
            return static_cast<NTSTATUS>(0xC000000DL);  // STATUS_INVALID_PARAMETER
    }
    if ((kind == kDispositionEx || kind == FileDispositionInformation) && gFake.refuse)
        return kCannotDelete;
    if (kind == kDispositionEx) {
        FILE_DISPOSITION_INFORMATION disposition = {TRUE};
        return RealSetInformation()(file, io, &disposition, sizeof(disposition),
                                    FileDispositionInformation);
    }
    return RealSetInformation()(file, io, information, size, kind);
}

NTSTATUS NTAPI FakeQueryVolume(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG size,
                               FS_INFORMATION_CLASS kind)
{
    QueryVolumeCall real = LookUpExport<QueryVolumeCall>(L"ntdll", "NtQueryVolumeInformationFile");
    NTSTATUS status = real(file, io, information, size, kind);
    if (kind == FileFsVolumeInformation)
        static_cast<FILE_FS_VOLUME_INFORMATION*>(information)->VolumeSerialNumber = gFake.volume;
    return status;
}

// ntdll's calls as these replace them while it lives.
struct FileCallsReplaced {
    FileCallsReplaced(SetFileInformationCall set, QueryVolumeCall volume, OpenFileCall open = nullptr,
                      QueryDirectoryCall directory = nullptr)
    {
        ReplaceFileCallsForTest(set, volume, open, directory);
    }
    ~FileCallsReplaced() { ReplaceFileCallsForTest(nullptr, nullptr); }
};

bool IsLinkEntry(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Each case works in its own scratch folder, which also holds the only
// folder its links may point at.
class FileRemoval : public testing::Test {
protected:
    void SetUp() override
    {
        const char* name = testing::UnitTest::GetInstance()->current_test_info()->name();
        scratch_ = MakeScratchFolder(Widen(std::string("files-") + name).c_str());
        ASSERT_TRUE(IsFolder(scratch_));
        target_ = Path(L"target");
        ASSERT_TRUE(MakeFolders(target_ + L"\\inner"));
        ASSERT_TRUE(WriteTextFile(target_ + L"\\keep.txt", "target file"));
        ASSERT_TRUE(WriteTextFile(target_ + L"\\inner\\deep.cache", "deep file"));
    }
    void TearDown() override
    {
        // By name first: a link whose target went is invisible to the walk.
        for (const std::wstring& link : links_)
            RemoveLink(link);
        RemoveTestTree(scratch_);
    }

    std::wstring Path(const wchar_t* relative) const { return scratch_ + L"\\" + relative; }

    void MakeFile(const std::wstring& path, DWORD attributes = 0) const
    {
        ASSERT_TRUE(WriteTextFile(path, "x")) << Narrow(path);
        if (attributes != 0) {
            ASSERT_TRUE(SetFileAttributesW(path.c_str(), attributes));
        }
    }

    bool LinkToTarget(const std::wstring& link)
    {
        links_.push_back(link);
        return MakeDirectoryLink(link, target_);
    }

    void ExpectTargetIntact() const
    {
        EXPECT_EQ("target file", ReadWholeFile(target_ + L"\\keep.txt"));
        EXPECT_EQ("deep file", ReadWholeFile(target_ + L"\\inner\\deep.cache"));
    }

    // A folder below the scratch folder whose path is exactly units long.
    std::wstring FolderOfLength(size_t units) const
    {
        std::wstring folder = scratch_;
        while (folder.size() < units) {
            size_t room = units - folder.size() - 1;
            folder += L"\\" + std::wstring(room > 100 ? 90 : room, L'd');
        }
        EXPECT_TRUE(MakeFolders(folder));
        return folder;
    }

    // The folder below the prefix's dosdevices\unc that Wine serves as the
    // server's shares ("" when the prefix cannot be found).
    static std::wstring WineShareServer(const wchar_t* name)
    {
        std::string drive = WindowsToUnixPath(L"C:\\");  // ".../dosdevices/c:/"
        size_t at = drive.rfind("/dosdevices/");
        if (at == std::string::npos)
            return L"";
        return UnixToWindowsPath(drive.substr(0, at) + "/dosdevices/unc/") + name;
    }

    std::wstring scratch_;
    std::wstring target_;
    std::vector<std::wstring> links_;
};

namespace {

// Changes a folder of a tree whose deletion has begun (the tree is held)
// before that folder is entered (not held yet): plants a link in it, or
// moves it away (to moved) and puts a file in its place.
struct LateChange {
    std::wstring tree, folder, link, target, moved;
    bool planted;
};
LateChange* gLateChange = nullptr;

void ChangeLate()
{
    LateChange& change = *gLateChange;
    if (change.planted || !IsHeldForRemoval(change.tree) || IsHeldForRemoval(change.folder))
        return;
    if (change.moved.empty())
        change.planted = MakeDirectoryLink(change.link, change.target);
    else
        change.planted = MoveFileW(change.folder.c_str(), change.moved.c_str()) &&
                         WriteTextFile(change.folder, "in the folder's place");
}

// The listing shows the folders named "cloud" as a cloud-files placeholder
// shows, which Wine cannot make.
NTSTATUS NTAPI FakeQueryDirectory(HANDLE folder, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                                  PIO_STATUS_BLOCK io, PVOID buffer, ULONG size,
                                  FILE_INFORMATION_CLASS kind, BOOLEAN single, PUNICODE_STRING pattern,
                                  BOOLEAN restart)
{
    QueryDirectoryCall real = LookUpExport<QueryDirectoryCall>(L"ntdll", "NtQueryDirectoryFile");
    NTSTATUS status = real(folder, event, routine, context, io, buffer, size, kind, single, pattern, restart);
    for (BYTE* at = static_cast<BYTE*>(buffer); status >= 0 && kind == FileFullDirectoryInformation;) {
        FILE_FULL_DIR_INFORMATION* entry = reinterpret_cast<FILE_FULL_DIR_INFORMATION*>(at);
        if (std::wstring(entry->FileName, entry->FileNameLength / sizeof(wchar_t)) == L"cloud") {
            entry->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            entry->EaSize = 0x9000001A;  // IO_REPARSE_TAG_CLOUD
        }
        if (entry->NextEntryOffset == 0)
            break;
        at += entry->NextEntryOffset;
    }
    return status;
}

}  // namespace

TEST_F(FileRemoval, ShellDeleteRemovesTreeWithReadOnlyAndHiddenFiles)
{
    std::wstring tree = Path(L"tree");
    ASSERT_TRUE(MakeFolders(tree + L"\\sub\\deeper"));
    MakeFile(tree + L"\\plain.txt");
    MakeFile(tree + L"\\readonly.txt", FILE_ATTRIBUTE_READONLY);
    MakeFile(tree + L"\\sub\\hidden.dat", FILE_ATTRIBUTE_HIDDEN);
    MakeFile(tree + L"\\sub\\deeper\\all.bin",
             FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    MakeFile(tree + L"\\sub\\system.sys", FILE_ATTRIBUTE_SYSTEM);
    ASSERT_TRUE(SetFileAttributesW((tree + L"\\sub\\deeper").c_str(), FILE_ATTRIBUTE_READONLY));
    MakeFile(Path(L"lone.txt"), FILE_ATTRIBUTE_HIDDEN);

    EXPECT_EQ(kShellDeleted, DeleteTreeViaShell(tree.c_str()));
    EXPECT_FALSE(Exists(tree));
    EXPECT_EQ(kShellDeleted, DeleteTreeViaShell(Path(L"lone.txt").c_str()));
    EXPECT_FALSE(Exists(Path(L"lone.txt")));
    ExpectTargetIntact();

    // Nothing changed under the deletion: a plain failure, not an abort.
    EXPECT_EQ(kShellFailed, DeleteTreeViaShell(Path(L"missing").c_str()));
}

// Every volume gets the POSIX mark, with the image check, until it
// answers that it lacks it; from then on that volume alone gets the old
// one. One that lacks only the flag to ignore read-only is asked it once.
// A file whose mark is refused keeps its read-only attribute.
TEST_F(FileRemoval, ShellDeleteMarksAsEachVolumeAnswers)
{
    const struct {
        const char* volume;
        FakeVolume fake;
        bool posix;
        bool secondName = false;  // the read-only file is a hard link to one outside
    } cases[] = {
        {"not supported", {1, static_cast<NTSTATUS>(0xC00000BBL), false}, false},
        {"POSIX", {2, 0, false}, true},
        {"invalid device request", {3, static_cast<NTSTATUS>(0xC0000010L), false}, false},
        {"invalid level", {4, static_cast<NTSTATUS>(0xC0000148L), false}, false},
        {"not implemented", {5, static_cast<NTSTATUS>(0xC0000002L), false}, false},
        {"POSIX, refused", {6, 0, true}, true},
        {"old, refused", {7, static_cast<NTSTATUS>(0xC0000002L), true}, false},
        {"old, read-only with a second name", {8, static_cast<NTSTATUS>(0xC0000002L), false}, false, true},
        {"POSIX keeping read-only", {9, 0, false, true}, true},
        {"POSIX keeping read-only, a second name", {10, 0, false, true}, true, true},
    };
    FileCallsReplaced replaced(FakeSetInformation, FakeQueryVolume);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.volume);
        const std::wstring tree = Path(L"volume");
        ASSERT_TRUE(MakeFolders(tree + L"\\sub"));
        MakeFile(tree + L"\\plain.txt");
        MakeFile(tree + L"\\sub\\inner.txt");
        if (c.secondName) {
            MakeFile(Path(L"other.txt"), FILE_ATTRIBUTE_READONLY);
            ASSERT_TRUE(CreateHardLinkW((tree + L"\\readonly.txt").c_str(), Path(L"other.txt").c_str(), nullptr));
        } else {
            MakeFile(tree + L"\\readonly.txt", FILE_ATTRIBUTE_READONLY);
        }
        gFake = c.fake;
        gPosixFlags.clear();

        const int result = DeleteTreeViaShell(tree.c_str());
        for (ULONG flags : gPosixFlags)
            EXPECT_EQ(0x7u, flags & 0x7u);  // delete, POSIX, image check
        if (c.posix) {
            EXPECT_LE(3u, gPosixFlags.size());  // one for each file at least
        } else {
            EXPECT_EQ(1u, gPosixFlags.size());
        }
        if (c.fake.keepsReadOnly) {
            EXPECT_EQ(1, std::count_if(gPosixFlags.begin(), gPosixFlags.end(),
                                       [](ULONG flags) { return (flags & kIgnoreReadOnly) != 0; }));
        }
        if (!c.fake.refuse && !c.secondName) {
            EXPECT_EQ(kShellDeleted, result);
            EXPECT_FALSE(Exists(tree));
            continue;
        }
        EXPECT_EQ(kShellFailed, result);
        EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY),
                  GetFileAttributesW((tree + L"\\readonly.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
        gFake.refuse = false;
        ASSERT_TRUE(SetFileAttributesW((tree + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
        RemoveTestTree(tree);
    }
}

TEST_F(FileRemoval, ShellDeleteNeverCutsAPath)
{
    // 259 and 260 units fit with the list's two terminators: deleted.
    std::wstring folder = FolderOfLength(kPathUnits - 40);
    std::wstring shorter = folder + L"\\" + std::wstring(kPathUnits - 2 - folder.size(), L'f');
    ASSERT_EQ(kPathUnits - 1, shorter.size());
    std::wstring full = shorter + L"g";
    MakeFile(shorter);
    EXPECT_EQ(kShellDeleted, DeleteTreeViaShell(shorter.c_str()));
    EXPECT_FALSE(Exists(shorter));

    // A path of 260 units names its own file, never the one its first 259
    // units name.
    MakeFile(shorter);
    MakeFile(full);
    EXPECT_EQ(kShellDeleted, DeleteTreeViaShell(full.c_str()));
    EXPECT_FALSE(Exists(full));
    EXPECT_TRUE(Exists(shorter));

    // 261 units do not fit: nothing is deleted, not even a cut version.
    std::wstring longer = full + L"h";
    MakeFile(full);
    MakeFile(longer);
    EXPECT_EQ(kShellFailed, DeleteTreeViaShell(longer.c_str()));
    EXPECT_TRUE(Exists(full));
    EXPECT_TRUE(Exists(longer));
}

TEST_F(FileRemoval, ShellDeleteRefusesALinkItIsGiven)
{
    std::wstring link = Path(L"link");
    ASSERT_TRUE(LinkToTarget(link));
    EXPECT_EQ(kShellFailed, DeleteTreeViaShell(link.c_str()));
    EXPECT_TRUE(IsLinkEntry(link));
    ExpectTargetIntact();
}

// Everything in a tree goes, whatever its depth and names, but what is
// listed as staying (and the folders above it).
TEST_F(FileRemoval, ShellDeleteTakesEveryEntryOfATree)
{
    std::wstring deep;
    for (int level = 0; level < 12; ++level)
        deep += std::wstring(50, static_cast<wchar_t>(L'a' + level)) + L"\\";
    std::wstring tooDeep;  // a thousand folders below the tree, and a file
    for (int level = 0; level < 1000; ++level)
        tooDeep += L"d\\";
    const struct {
        const char* what;
        std::vector<std::wstring> files;  // below the tree, made with their folders
        std::wstring link;                // below the tree, to the target; "" for none
        std::vector<std::wstring> staying;
        StayReason why;
    } cases[] = {
        {"past 600 units, twelve levels", {deep + L"log.txt", L"top.txt"}, L"", {}, StayReason::kNone},
        {"names Win32 paths cannot say",
         {L"CON", L"AUX", L"nul.txt", L"com1.log", L"trailing.", L"blank ", L"sub.\\inner.txt"},
         L"",
         {},
         StayReason::kNone},
        // Wine opens only a link's target, so the link stays there.
        {"a link inside", {L"top.txt", L"cache\\a.cache", L"cache\\sub\\b.txt"}, L"cache\\link",
         {L"cache\\link"}, StayReason::kLinkInside},
        {"a folder of another reparse point", {L"top.txt", L"data\\sub\\c.txt", L"data\\cloud\\kept.txt"},
         L"", {L"data\\cloud\\kept.txt"}, StayReason::kNone},
        {"past the depth a deletion goes", {L"top.txt", tooDeep + L"bottom.txt"}, L"",
         {tooDeep + L"bottom.txt"}, StayReason::kTooDeep},
    };
    FileCallsReplaced replaced(nullptr, nullptr, nullptr, FakeQueryDirectory);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // A thousand levels take Wine most of a minute; the bound is the
        // same in every prefix.
        if (c.why == StayReason::kTooDeep && PrefixKind() != L"win64")
            continue;
        // The long form takes every name as it is, at any length.
        const std::wstring tree = L"\\\\?\\" + Path(L"tree") + L"\\";
        for (const std::wstring& file : c.files) {
            ASSERT_TRUE(MakeFolders((tree + file).substr(0, (tree + file).find_last_of(L'\\'))));
            MakeFile(tree + file);
        }
        if (!c.link.empty()) {
            ASSERT_TRUE(LinkToTarget(Path(L"tree\\") + c.link));
        }

        StayReason why = StayReason::kNone;
        EXPECT_EQ(c.staying.empty() ? kShellDeleted : kShellFailed,
                  DeleteTreeViaShell(Path(L"tree").c_str(), &why));
        EXPECT_EQ(c.why, why);
        for (const std::wstring& file : c.files)
            EXPECT_EQ(std::count(c.staying.begin(), c.staying.end(), file) != 0, Exists(tree + file))
                << Narrow(file);
        if (!c.link.empty()) {
            EXPECT_TRUE(IsLinkEntry(tree + c.link));
            RemoveLink(Path(L"tree\\") + c.link);
        }
        ExpectTargetIntact();
        RemoveTestTree(Path(L"tree"));
    }
}

// A folder changes once its parent's listing has shown it: a link planted
// in it is listed as the link it is; a file put in its place is never held.
TEST_F(FileRemoval, ShellDeleteOfAFolderThatChangesMeanwhile)
{
    const struct {
        const char* what;
        bool replace;
        int result;
    } cases[] = {
        // Wine opens only a link's target, so the link stays there.
        {"a link planted", false, kShellFailed},
        {"a file in its place", true, kShellAborted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::wstring late = Path(L"late");
        ASSERT_TRUE(MakeFolders(late + L"\\sub"));
        MakeFile(late + L"\\sub\\below.txt");
        LateChange change = {late, late + L"\\sub", late + L"\\sub\\link", target_,
                             c.replace ? Path(L"moved") : L"", false};
        links_.push_back(change.link);
        gLateChange = &change;
        SetResponsivenessHook(ChangeLate, 0);
        int result = DeleteTreeViaShell(late.c_str());
        SetResponsivenessHook(nullptr);
        gLateChange = nullptr;
        ASSERT_TRUE(change.planted);
        EXPECT_EQ(c.result, result);
        if (c.replace) {
            EXPECT_TRUE(Exists(Path(L"moved\\below.txt")));
            EXPECT_TRUE(Exists(change.folder));
        } else {
            EXPECT_TRUE(IsLinkEntry(change.link));
            EXPECT_FALSE(Exists(late + L"\\sub\\below.txt"));
        }
        ExpectTargetIntact();
        RemoveLink(change.link);
        RemoveTestTree(late);
    }
}

TEST_F(FileRemoval, EntriesOpenElsewhereStayAndTheRestGoes)
{
    std::wstring tree = Path(L"tree");
    ASSERT_TRUE(MakeFolders(tree + L"\\sub"));
    MakeFile(tree + L"\\a.txt");
    MakeFile(tree + L"\\sub\\b.txt");
    MakeFile(tree + L"\\sub\\locked.dat");
    std::wstring folder = Path(L"vendor");
    ASSERT_TRUE(MakeFolders(folder));
    MakeFile(folder + L"\\c.txt");
    MakeFile(folder + L"\\locked.dat");
    UniqueHandle inTree(CreateFileW((tree + L"\\sub\\locked.dat").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    UniqueHandle inFolder(CreateFileW((folder + L"\\locked.dat").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(inTree.IsValid() && inFolder.IsValid());

    // Everything else goes; the run learns of the failure, and why, and
    // goes on.
    StayReason why = StayReason::kNone;
    EXPECT_EQ(kShellFailed, DeleteTreeViaShell(tree.c_str(), &why));
    EXPECT_EQ(StayReason::kInUse, why);
    EXPECT_FALSE(Exists(tree + L"\\a.txt"));
    EXPECT_FALSE(Exists(tree + L"\\sub\\b.txt"));
    EXPECT_TRUE(Exists(tree + L"\\sub\\locked.dat"));

    testing::internal::CaptureStdout();
    why = StayReason::kNone;
    EmptyAndRemoveFolder(folder.c_str(), &why);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ("Failed to delete " + Narrow(folder) + "\\locked.dat \nError 32 \n", printed);
    EXPECT_EQ(StayReason::kInUse, why);
    EXPECT_FALSE(Exists(folder + L"\\c.txt"));
    EXPECT_TRUE(Exists(folder + L"\\locked.dat"));

    // A folder open elsewhere as a current folder is (no sharing of delete)
    // is still emptied; only the folder itself stays.
    inTree.Reset();
    inFolder.Reset();
    MakeFile(tree + L"\\sub\\d.txt");
    MakeFile(folder + L"\\e.txt");
    const DWORD asCurrent = FILE_TRAVERSE | SYNCHRONIZE;
    UniqueHandle subInUse(CreateFileW((tree + L"\\sub").c_str(), asCurrent, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    UniqueHandle folderInUse(CreateFileW(folder.c_str(), asCurrent, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(subInUse.IsValid() && folderInUse.IsValid());
    EXPECT_EQ(kShellFailed, DeleteTreeViaShell(tree.c_str()));
    EXPECT_FALSE(Exists(tree + L"\\sub\\d.txt"));
    EXPECT_FALSE(Exists(tree + L"\\sub\\locked.dat"));
    EXPECT_TRUE(IsFolder(tree + L"\\sub"));
    EmptyAndRemoveFolder(folder.c_str());
    EXPECT_FALSE(Exists(folder + L"\\e.txt"));
    EXPECT_FALSE(Exists(folder + L"\\locked.dat"));
    EXPECT_TRUE(IsFolder(folder));
}

// Wine has no oplocks: the open of one entry answers as Windows does while
// someone else's oplock on it is broken.
const wchar_t* gOplocked = L"";
int gOplockedOpens = 0;
bool gOplockWaitedFor = false;  // an open that would have waited for the holder

NTSTATUS NTAPI FakeOpenFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                            PIO_STATUS_BLOCK io, ULONG sharing, ULONG options)
{
    OpenFileCall real = LookUpExport<OpenFileCall>(L"ntdll", "NtOpenFile");
    const UNICODE_STRING* name = attributes->ObjectName;
    if (std::wstring(name->Buffer, name->Length / sizeof(wchar_t)) != gOplocked)
        return real(handle, access, attributes, io, sharing, options);
    if ((options & FILE_COMPLETE_IF_OPLOCKED) == 0)
        gOplockWaitedFor = true;
    ++gOplockedOpens;
    NTSTATUS status = real(handle, access, attributes, io, sharing, options & ~FILE_DELETE_ON_CLOSE);
    return status < 0 ? status : static_cast<NTSTATUS>(0x00000108L);  // STATUS_OPLOCK_BREAK_IN_PROGRESS
}

// A file or a folder so held is waited for as a name held elsewhere, then
// stays; once the run's waiting time is spent, it says so at once.
TEST_F(FileRemoval, AnOplockedEntryIsHeldElsewhere)
{
    const struct {
        const char* what;
        const wchar_t* name;
        bool folder;
    } cases[] = {
        {"a file", L"oplocked.dat", false},
        {"a folder", L"oplocked", true},
    };
    FileCallsReplaced replaced(nullptr, nullptr, FakeOpenFile);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring tree = Path(L"tree");
        const std::wstring held = tree + L"\\" + c.name;
        ASSERT_TRUE(MakeFolders(tree + L"\\sub"));
        MakeFile(tree + L"\\sub\\b.txt");
        if (c.folder) {
            ASSERT_TRUE(MakeFolders(held));
        }
        MakeFile(c.folder ? held + L"\\inner.txt" : held);
        gOplocked = c.name;
        gOplockedOpens = 0;
        gOplockWaitedFor = false;
        StartPendingWaitBudget();

        EXPECT_EQ(kShellFailed, DeleteTreeViaShell(tree.c_str()));
        EXPECT_FALSE(gOplockWaitedFor);
        EXPECT_GE(gOplockedOpens, 2) << "not waited for as a name held elsewhere";
        EXPECT_TRUE(Exists(c.folder ? held + L"\\inner.txt" : held));
        EXPECT_FALSE(Exists(tree + L"\\sub"));

        {
            HeldFolder parent;
            HeldFolder child;
            ASSERT_TRUE(parent.Hold(tree.c_str(), false));
            EXPECT_FALSE(c.folder ? child.HoldChild(parent, c.name) : parent.DeleteFile(c.name, 0, true));
            EXPECT_EQ(kErrorOplockBreakInProgress, GetLastError());
        }
        RemoveTestTree(tree);
    }
    StartPendingWaitBudget();
}

// A program that keeps adding files to a folder being listed, which NTFS
// lists on from the last name it gave: Wine reads a whole listing at once,
// so the listing here goes on, each call giving one more file, as long as
// the program asks (to a cap far past the bound, so that a program without
// the bound fails rather than hangs).
ULONG gFedEntries = 0;
const ULONG kFeedCap = 10000;

NTSTATUS NTAPI FeedingQueryDirectory(HANDLE folder, HANDLE event, PIO_APC_ROUTINE routine,
                                     PVOID context, PIO_STATUS_BLOCK io, PVOID buffer, ULONG size,
                                     FILE_INFORMATION_CLASS kind, BOOLEAN single,
                                     PUNICODE_STRING pattern, BOOLEAN restart)
{
    QueryDirectoryCall real = LookUpExport<QueryDirectoryCall>(L"ntdll", "NtQueryDirectoryFile");
    NTSTATUS status = real(folder, event, routine, context, io, buffer, size, kind, single, pattern, restart);
    const NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
    if (status != kNoMoreFiles || pattern != nullptr || kind != FileFullDirectoryInformation ||
        gFedEntries == kFeedCap)
        return status;
    FILE_FULL_DIR_INFORMATION* entry = static_cast<FILE_FULL_DIR_INFORMATION*>(buffer);
    ZeroMemory(entry, sizeof(*entry));
    const std::wstring name = L"fed" + std::to_wstring(gFedEntries++);
    entry->FileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    entry->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    CopyMemory(entry->FileName, name.c_str(), entry->FileNameLength);
    return 0;
}

// The work on one folder is bounded: the deletion leaves it, and says why.
TEST_F(FileRemoval, AFolderSomeoneKeepsFillingIsLeft)
{
    struct RestoreBound {
        ~RestoreBound() { FolderEntryBound() = bound; }
        size_t bound = FolderEntryBound();
    } restore;
    FolderEntryBound() = 50;
    FileCallsReplaced replaced(nullptr, nullptr, nullptr, FeedingQueryDirectory);
    const std::wstring tree = Path(L"tree");
    for (bool walk : {true, false}) {
        SCOPED_TRACE(walk ? "the tree deletion" : "the emptying");
        ASSERT_TRUE(MakeFolders(tree));
        MakeFile(tree + L"\\a.txt");
        gFedEntries = 0;
        StayReason why = StayReason::kNone;
        if (walk)
            EXPECT_EQ(kShellFailed, DeleteTreeViaShell(tree.c_str(), &why));
        else
            EmptyAndRemoveFolder(tree.c_str(), &why);
        EXPECT_EQ(StayReason::kKeptFilling, why);
        EXPECT_TRUE(IsFolder(tree));
        EXPECT_FALSE(Exists(tree + L"\\a.txt"));
        EXPECT_LE(gFedEntries, 50u);
        RemoveTestTree(tree);
    }
}

// Each path goes to every primitive, with the current folder in the scratch
// folder; what a primitive that took the path would reach must survive.
TEST_F(FileRemoval, RefusedPathsDeleteNothing)
{
    struct RefusedCase {
        const wchar_t* path;
        std::wstring survivor;
    };
    const std::wstring rootFile = L"C:\\hs-refused-root.txt";
    const std::wstring climbed = Path(L"vendor\\..");
    // Wine serves \\server\share from a folder below dosdevices\unc.
    const std::wstring server = WineShareServer(L"hs-refused");
    ASSERT_FALSE(server.empty());
    const RefusedCase cases[] = {
        {L"relative\\path", Path(L"relative\\path\\keep.txt")},
        {L"C:\\", rootFile},
        {L"\\\\hs-refused\\share\\", L"\\\\hs-refused\\share\\keep.txt"},
        {climbed.c_str(), Path(L"keep.txt")},
    };
    ASSERT_TRUE(MakeFolders(Path(L"relative\\path")));
    ASSERT_TRUE(MakeFolders(Path(L"vendor")));
    ASSERT_TRUE(MakeFolders(server + L"\\share"));
    wchar_t saved[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, saved));
    ASSERT_TRUE(SetCurrentDirectoryW(scratch_.c_str()));
    for (const RefusedCase& test : cases) {
        SCOPED_TRACE(Narrow(test.path));
        MakeFile(test.survivor);
        EXPECT_EQ(kShellFailed, DeleteTreeViaShell(test.path));
        EmptyAndRemoveFolder(test.path);
        EXPECT_TRUE(Exists(test.survivor));
    }
    SetCurrentDirectoryW(saved);
    DeleteFileW(rootFile.c_str());
    RemoveTestTree(server);
}

// Emptying deletes the files directly in a folder, then the folder. It
// deletes as DeleteFileW does: a read-only file stays and is reported
// (only the tree deletion clears the attribute first). A subfolder, a link
// inside or the folder itself as a link, and a file whose path cannot be
// named stay; a missing folder is no fault.
TEST_F(FileRemoval, EmptyAndRemoveFolder)
{
    enum Made { kFile, kHidden, kReadOnly, kFolder, kLink };
    struct Entry {
        std::wstring name;
        Made made;
        bool stays;
    };
    const struct {
        const char* what;
        const wchar_t* folder;  // below the scratch folder; null: one of nearly the longest path
        bool made, asLink;
        std::vector<Entry> entries;
        bool folderStays;
        const char* printed;  // after the folder's path
    } rows[] = {
        {"files of any kind", L"files", true, false,
         {{L"a.txt", kFile, false}, {L"b.log", kHidden, false}, {L"noextension", kFile, false}}, false, ""},
        {"empty", L"empty", true, false, {}, false, ""},
        {"missing", L"missing", false, false, {}, false, ""},
        {"a read-only file", L"readonly", true, false,
         {{L"a.txt", kFile, false}, {L"readonly.txt", kReadOnly, true}}, true,
         "\\readonly.txt \nError 5 \n"},
        {"a path too long to name", nullptr, true, false, {{std::wstring(40, L'n') + L".txt", kFile, true}},
         true, nullptr},
        {"a subfolder", L"sub", true, false,
         {{L"a.txt", kFile, false}, {L"b.txt", kFile, false}, {L"sub", kFolder, true},
          {L"sub\\inner.txt", kFile, true}},
         true, "\\sub \nError 5 \n"},
        {"a link inside", L"holds-link", true, false, {{L"a.txt", kFile, false}, {L"link", kLink, true}},
         true, ""},
        {"the folder a link", L"linked", true, true, {}, true, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::wstring folder = row.folder != nullptr ? Path(row.folder) : FolderOfLength(kPathUnits - 20);
        if (row.asLink) {
            ASSERT_TRUE(LinkToTarget(folder));
        } else if (row.made) {
            ASSERT_TRUE(MakeFolders(folder));
        }
        for (const Entry& entry : row.entries) {
            const std::wstring path = folder + L"\\" + entry.name;
            if (entry.made == kFolder) {
                ASSERT_TRUE(MakeFolders(path));
            } else if (entry.made == kLink) {
                ASSERT_TRUE(LinkToTarget(path));
            } else {
                MakeFile(path, entry.made == kHidden     ? FILE_ATTRIBUTE_HIDDEN
                               : entry.made == kReadOnly ? FILE_ATTRIBUTE_READONLY
                                                         : 0);
            }
        }

        testing::internal::CaptureStdout();
        EmptyAndRemoveFolder(folder.c_str());
        const std::string printed = testing::internal::GetCapturedStdout();

        if (row.printed != nullptr) {
            EXPECT_EQ(row.printed[0] == '\0' ? "" : "Failed to delete " + Narrow(folder) + row.printed,
                      printed);
        }
        for (const Entry& entry : row.entries) {
            const std::wstring path = folder + L"\\" + entry.name;
            EXPECT_EQ(entry.stays, entry.made == kLink ? IsLinkEntry(path) : Exists(path)) << Narrow(path);
            if (entry.made == kReadOnly)
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        EXPECT_EQ(row.folderStays, row.asLink ? IsLinkEntry(folder) : Exists(folder));
        EXPECT_TRUE(IsFolder(scratch_));
        ExpectTargetIntact();
    }
}

}  // namespace
