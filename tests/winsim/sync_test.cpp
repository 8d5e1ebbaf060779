// Events, mutexes and file mappings, named and unnamed, within a process and between the
// processes of a machine, and waiting for one or several objects.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/machine_fixture.h"

using namespace testutil;

namespace {

// Owns a handle for the length of a test.
struct Handle {
  HANDLE h;
  explicit Handle(HANDLE v) : h(v) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h) CloseHandle(h);
  }
  operator HANDLE() const { return h; }
};

class SyncTest : public MachineTest {
 protected:
  // Runs object_peer (tests/winsim/data/object_peer.cpp) as another process of the machine.
  std::string peer(const std::string& args) {
    auto r = run_command("WINSIM_MACHINE='" + dir + "' " OBJECT_PEER " " + args);
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
  }
};

TEST_F(SyncTest, EventsAutoAndManualReset) {
  struct Case {
    BOOL manual, initial;
    DWORD first, second;  // two waits without a SetEvent between them
  } cases[] = {
      {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
      {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},  // a wait takes the signal of an auto-reset event
      {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},  // a manual-reset one stays signalled
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "manual " << c.manual << " initial " << c.initial);
    Handle e(CreateEventW(nullptr, c.manual, c.initial, nullptr));
    ASSERT_NE(e.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), c.first);
    EXPECT_EQ(WaitForSingleObject(e, 0), c.second);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  }
  // A waiting thread is woken by SetEvent from another thread, and waits no longer than asked.
  Handle e(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(e, 30), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(e);
  });
  EXPECT_EQ(WaitForSingleObject(e, 5000), WAIT_OBJECT_0);
  setter.join();
}

TEST_F(SyncTest, NamesAndNamespaces) {
  Handle a(CreateEventW(nullptr, TRUE, FALSE, W_("Ready")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  // The same name is the same object: a second create says so and sees the first one's signal.
  Handle again(CreateEventW(nullptr, FALSE, FALSE, W_("Ready")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  Handle local(OpenEventW(SYNCHRONIZE, FALSE, W_("Local\\Ready")));
  ASSERT_NE(local.h, nullptr);
  SetEvent(a);
  EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(local, 0), WAIT_OBJECT_0);

  struct Case {
    const WCHAR* name;
    DWORD error;
  } absent[] = {
      {W_("Global\\Ready"), ERROR_FILE_NOT_FOUND},  // the global namespace is another one
      {W_("ready"), ERROR_FILE_NOT_FOUND},          // names keep their case
      {W_("Elsewhere\\Ready"), ERROR_PATH_NOT_FOUND},
      {nullptr, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : absent) {
    SetLastError(kMarker);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, c.name), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  // A name belongs to one kind of object.
  SetLastError(kMarker);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, W_("Ready")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, W_("Ready")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // Access: a handle opened only to set cannot wait, one opened only to wait cannot set.
  Handle setter(OpenEventW(EVENT_MODIFY_STATE, FALSE, W_("Ready")));
  EXPECT_EQ(WaitForSingleObject(setter, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(SetEvent(local));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(0x7777)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SyncTest, NamedObjectEndsWithItsLastHandle) {
  HANDLE a = CreateEventW(nullptr, TRUE, TRUE, W_("Global\\Once"));
  HANDLE b = OpenEventW(SYNCHRONIZE, FALSE, W_("Global\\Once"));
  CloseHandle(a);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);  // still held through b
  CloseHandle(b);
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, W_("Global\\Once")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // A new object of that name starts afresh.
  Handle c(CreateEventW(nullptr, TRUE, FALSE, W_("Global\\Once")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_TIMEOUT);
}

TEST_F(SyncTest, MutexOwnershipAndRecursion) {
  Handle m(CreateMutexW(nullptr, TRUE, W_("Global\\Queue")));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // the owner takes it again
  // Another thread cannot take it or release it until both holds are released.
  auto other = [&](DWORD ms) {
    DWORD r = 0, release_error = 0;
    std::thread t([&] {
      r = WaitForSingleObject(m, ms);
      if (r == WAIT_OBJECT_0) {
        ReleaseMutex(m);
      } else if (!ReleaseMutex(m)) {
        release_error = GetLastError();
      }
    });
    t.join();
    return std::make_pair(r, release_error);
  };
  EXPECT_EQ(other(20), std::make_pair(DWORD(WAIT_TIMEOUT), DWORD(ERROR_NOT_OWNER)));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(other(20).first, WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(other(20).first, WAIT_OBJECT_0);
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  // An existing mutex is opened as it is: asking to own it on create does not take it.
  Handle again(CreateMutexW(nullptr, TRUE, W_("Global\\Queue")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(ReleaseMutex(again));
}

TEST_F(SyncTest, MutexOfAHolderThatEndedIsAbandoned) {
  Handle m(CreateMutexW(nullptr, FALSE, W_("Held")));
  std::thread([&] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); }).join();
  EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m));  // abandoned and taken: it is ours now
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));

  // The same when the holder is another process that ended.
  EXPECT_EQ(peer("lock Global\\\\DebugQueue"), "ok\n");
  Handle global(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, W_("Global\\DebugQueue")));
  EXPECT_EQ(global.h, nullptr) << "the peer was its only holder";
  Handle mine(CreateMutexW(nullptr, FALSE, W_("Global\\DebugQueue")));
  std::thread holder([&] { EXPECT_EQ(peer("lock Global\\\\DebugQueue"), "ok\n"); });
  holder.join();
  EXPECT_EQ(WaitForSingleObject(mine, 2000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mine));
}

TEST_F(SyncTest, EventSetByAnotherProcessWakesAWaiter) {
  Handle e(CreateEventW(nullptr, FALSE, FALSE, W_("Global\\Start")));
  std::string out;
  std::thread p([&] { out = peer("set Global\\\\Start"); });
  EXPECT_EQ(WaitForSingleObject(e, 10000), WAIT_OBJECT_0);
  p.join();
  EXPECT_EQ(out, "ok\n");
  EXPECT_EQ(peer("set Global\\\\Absent"), "error 2\n");
}

TEST_F(SyncTest, WaitForMultipleObjects) {
  Handle a(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  Handle b(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  Handle m(CreateMutexW(nullptr, FALSE, nullptr));
  HANDLE both[] = {a, b};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
  SetEvent(a);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);  // the first signalled one wins
  SetEvent(a);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);  // taken by the wait for all

  // A mutex abandoned by a thread answers with its index.
  std::thread([&] { WaitForSingleObject(m, 0); }).join();
  ResetEvent(b);
  HANDLE with_mutex[] = {a, m};
  EXPECT_EQ(WaitForMultipleObjects(2, with_mutex, FALSE, 1000), WAIT_ABANDONED_0 + 1);
  ReleaseMutex(m);

  // A thread's end and an event set by another thread both wake a waiter.
  HANDLE thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return Sleep(30), 0; }, nullptr, 0, nullptr);
  HANDLE with_thread[] = {a, thread};
  EXPECT_EQ(WaitForMultipleObjects(2, with_thread, FALSE, 5000), WAIT_OBJECT_0 + 1);
  CloseHandle(thread);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(a);
  });
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 5000), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 20), WAIT_TIMEOUT);

  HANDLE bad[] = {a, reinterpret_cast<HANDLE>(0x7777)};
  EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SyncTest, FileMappingsSharedBetweenProcesses) {
  Handle map(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 200000, W_("Global\\LogMap")));
  ASSERT_NE(map.h, nullptr);
  auto* view = static_cast<char*>(MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 0);  // a new mapping holds zeros
  EXPECT_EQ(view[199999], 0);
  std::strcpy(view, "from the creator");
  EXPECT_EQ(peer("read Global\\\\LogMap write Global\\\\LogMap 'from the peer'"), "ok from the creator\nok\n");
  EXPECT_STREQ(view, "from the peer");

  // A second view at the next allocation boundary sees the same contents.
  auto* second = static_cast<char*>(MapViewOfFile(map, FILE_MAP_READ, 0, 65536, 100));
  ASSERT_NE(second, nullptr);
  view[65536] = 'x';
  EXPECT_EQ(second[0], 'x');
  EXPECT_TRUE(UnmapViewOfFile(second));

  struct Case {
    DWORD access, offset;
    SIZE_T bytes;
    DWORD error;
  } refused[] = {
      {FILE_MAP_READ, 4096, 0, ERROR_MAPPED_ALIGNMENT},
      {FILE_MAP_READ, 0, 200001, ERROR_ACCESS_DENIED},  // past the mapping's end
      {FILE_MAP_READ, 262144, 0, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : refused) {
    SetLastError(kMarker);
    EXPECT_EQ(MapViewOfFile(map, c.access, 0, c.offset, c.bytes), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  Handle reader(OpenFileMappingW(FILE_MAP_READ, FALSE, W_("Global\\LogMap")));
  EXPECT_EQ(MapViewOfFile(reader, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(UnmapViewOfFile(view + 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, W_("Empty")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(UnmapViewOfFile(view));
}

TEST_F(SyncTest, MappingLivesWhileAViewOrAHolderDoes) {
  // A view keeps the mapping after its handle is closed.
  HANDLE map = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, W_("Kept"));
  auto* view = static_cast<char*>(MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, 0));
  std::strcpy(view, "still here");
  CloseHandle(map);
  EXPECT_EQ(peer("read Kept"), "ok still here\n");
  UnmapViewOfFile(view);
  EXPECT_EQ(peer("read Kept"), "error 2\n");

  // A mapping made by a process that ended went with it.
  EXPECT_EQ(peer("make Global\\\\Gone 'left behind' read Global\\\\Gone"), "ok\nok left behind\n");
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, W_("Global\\Gone")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SyncTest, MappingOfAFile) {
  write_file(c("data.bin"), "0123456789");
  Handle file(CreateFileW(W_("C:\\data.bin"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  Handle map(CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr));
  ASSERT_NE(map.h, nullptr);
  auto* view = static_cast<char*>(MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 10), "0123456789");
  view[0] = 'X';
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_EQ(read_file(c("data.bin")), "X123456789");
}

}  // namespace
