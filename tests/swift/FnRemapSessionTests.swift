// SPDX-License-Identifier: Apache-2.0
import CFnRemapKit
@testable import FnRemapKit
import Foundation
import Testing

/// Each test has the key mapping to itself: on Linux a fresh stand-in, named
/// by TARNWICK_HID_STATE_DIR; on a Mac the real one, saved first and put back
/// at the end, so only with FNREMAPKIT_TEST_REAL_HID=1. The variable is one
/// per process, so the tests run one at a time.
@Suite(.serialized, .enabled(if: mayChangeKeyMapping,
                             "changes the real key mapping: set FNREMAPKIT_TEST_REAL_HID=1 to run it"))
final class FnRemapSessionTests {
  let root = FileManager.default.temporaryDirectory.appendingPathComponent("fnremapkit-\(UUID())")
  let saved: String
  let other = entry(0x7_0000_0039, 0x7_0000_00E0) // Caps Lock to Left Control
  let ours = entry(FnRemapSession.fnSource, FnRemapSession.fnDestination)

  init() throws {
    try FileManager.default.createDirectory(at: root, withIntermediateDirectories: false)
    setenv("TARNWICK_HID_STATE_DIR", root.appendingPathComponent("hid").path, 1)
    saved = try run("keymap", "get")
  }

  deinit {
    _ = try? run("keymap", "set", input: saved)
    unsetenv("TARNWICK_HID_STATE_DIR")
    try? FileManager.default.removeItem(at: root)
  }

  @Test func beginInstallsAndEndRestores() throws {
    let displaced = entry(FnRemapSession.fnSource, 0x7_0000_0004)
    try setKeyMapping([displaced, other])
    let session = try FnRemapSession(guard: guardTool)
    #expect(session.guardPID > 0)
    #expect(try keyMapping() == [other, ours])
    try session.end()
    #expect(session.guardPID == 0)
    #expect(try keyMapping() == [other, displaced])
    try session.end() // again: nothing left to do
    // Releasing a session not ended ends it.
    var released: FnRemapSession? = try FnRemapSession(guard: guardTool, source: 0x7_0000_0039, destination: 1)
    #expect(try keyMapping() == [displaced, entry(0x7_0000_0039, 1)])
    #expect(released?.guardPID ?? 0 > 0) // and the session lives until here
    released = nil
    #expect(try keyMapping() == [displaced, other]) // what it displaced comes back after the rest
  }

  // A guard that is missing, or no file, is named and nothing is written.
  // The test runner is no application bundle: nothing to find, so the
  // default guard is none, and a session without one says so.
  @Test func aMissingGuardIsNamedAndNothingIsWritten() throws {
    try setKeyMapping([other])
    let missing = root.appendingPathComponent("no-guard-here")
    let error = #expect(throws: FnRemapError.self) { try FnRemapSession(guard: missing) }
    #expect(error?.description.hasPrefix("cannot start the guard at \(missing.path): ") == true)
    #expect(error?.code == .guardNotStarted)
    // Not Foundation's "The operation couldn't be completed", but the line.
    #expect(error.map { ($0 as Error).localizedDescription } == error?.description)
    let remote = URL(string: "https://example.com")!.appendingPathComponent(guardTool.path)
    let notAFile = #expect(throws: FnRemapError.self) { try FnRemapSession(guard: remote) }
    #expect(notAFile?.code == .guardNotStarted)
    for folder in ["Contents/Helpers", "Contents/MacOS"] {
      let path = Bundle.main.bundleURL.appendingPathComponent(folder).appendingPathComponent("tarnwick-fn-guard").path
      try #require(!FileManager.default.fileExists(atPath: path), "the runner's bundle has \(path)")
    }
    #expect(FnRemapSession.bundledGuardURL == nil)
    let none = #expect(throws: FnRemapError.self) { try FnRemapSession() }
    #expect(none?.code == .guardNotStarted)
    #expect(none?.localizedDescription == "cannot start the guard: no tarnwick-fn-guard in the application's bundle")
    #expect(try keyMapping() == [other])
  }

  // Where a bundle's guard is looked for: Helpers first, then MacOS, an
  // executable file only.
  @Test func theBundledGuardIsTheFirstExecutableFile() throws {
    let bundle = root.appendingPathComponent("App.app")
    let helpers = bundle.appendingPathComponent("Contents/Helpers/tarnwick-fn-guard")
    let macOS = bundle.appendingPathComponent("Contents/MacOS/tarnwick-fn-guard")
    for (present, found) in [
      ([(helpers, 0o755), (macOS, 0o755)], helpers as URL?), ([(macOS, 0o755)], macOS), ([(helpers, 0o644), (macOS, 0o755)], macOS),
      ([(helpers, 0o644)], nil), ([], nil),
    ] as [([(URL, Int)], URL?)] {
      try? FileManager.default.removeItem(at: bundle)
      for (file, mode) in present {
        try FileManager.default.createDirectory(at: file.deletingLastPathComponent(), withIntermediateDirectories: true)
        #expect(FileManager.default.createFile(atPath: file.path, contents: Data(), attributes: [.posixPermissions: mode]))
      }
      #expect(FnRemapSession.guardURL(inBundle: bundle) == found, "\(present)")
    }
    // A folder by that name is no guard.
    try? FileManager.default.removeItem(at: bundle)
    try FileManager.default.createDirectory(at: helpers, withIntermediateDirectories: true)
    #expect(FnRemapSession.guardURL(inBundle: bundle) == nil)
  }

  // The Swift codes are the C interface's, number for number; any other
  // number, none included, is unknown.
  @Test func theCodesAreTheCInterfaces() {
    let c: [(FnRemapError.Code, FnRemapErrorCode)] = [
      (.unknown, FnRemapErrorCode(rawValue: 99)), (.unknown, FnRemapErrorNone), (.guardNotStarted, FnRemapErrorGuardNotStarted),
      (.guardNotWatching, FnRemapErrorGuardNotWatching), (.guardCannotReach, FnRemapErrorGuardCannotReach),
      (.locked, FnRemapErrorLocked), (.lockRefused, FnRemapErrorLockRefused), (.readFailed, FnRemapErrorReadFailed),
      (.writeRefused, FnRemapErrorWriteRefused), (.stillRemapped, FnRemapErrorStillRemapped),
      (.keyRemappedByOther, FnRemapErrorKeyRemappedByOther), (.newerLedger, FnRemapErrorNewerLedger),
      (.holdsNotWritten, FnRemapErrorHoldsNotWritten), (.otherProcess, FnRemapErrorOtherProcess),
      (.noSession, FnRemapErrorNoSession), (.calledFromEventHandler, FnRemapErrorCalledFromEventHandler),
    ]
    #expect(c.dropFirst().map(\.0) == FnRemapError.Code.allCases)
    for (swift, cCode) in c { #expect(FnRemapError.Code(cCode) == swift, "\(cCode)") }
  }

  #if !os(macOS)
  // Only the stand-in can be made to refuse the restore: by a state directory
  // that others may write to, which the key mapping's lock refuses first.
  // And another process's hold of the lock, as flock(2) has it: a lock on
  // another open of the file, even in this process.
  @Test func aFailedEndSaysWhyAndKeepsTheGuardAHeldLockIsNamed() throws {
    try setKeyMapping([other])
    let session = try FnRemapSession(guard: guardTool)
    let state = root.appendingPathComponent("hid").path
    chmod(state, 0o770)
    let error = #expect(throws: FnRemapError.self) { try session.end() }
    #expect(error?.description == "cannot lock the key mapping: state directory \(state) is writable by group or others")
    #expect(error?.code == .lockRefused)
    #expect(session.guardPID > 0)
    chmod(state, 0o700)
    try session.end()
    #expect(try keyMapping() == [other])
    let lock = open(root.appendingPathComponent("hid/UserKeyMapping.lock").path, O_RDONLY | O_CREAT, 0o600)
    try #require(lock >= 0)
    defer { close(lock) }
    try #require(flock(lock, LOCK_EX) == 0)
    let locked = #expect(throws: FnRemapError.self) { try FnRemapSession(guard: guardTool) }
    #expect(locked?.code == .locked)
    #expect(locked?.localizedDescription == "the key mapping is locked by another process")
    #expect(try keyMapping() == [other])
  }
  #endif

  @Test func aKilledGuardIsReplacedAndTheEventsFinishWithTheSession() async throws {
    try setKeyMapping([other])
    let session = try FnRemapSession(guard: guardTool)
    let killed = session.guardPID
    kill(killed, SIGKILL)
    var events = session.events.makeAsyncIterator()
    let heard: FnRemapEvent? = await events.next() // the Swift layer's, beside the C module's
    #expect(heard == .guardReplaced)
    #expect(session.guardPID > 0 && session.guardPID != killed)
    #expect(try keyMapping() == [other, ours])
    try await session.end()
    #expect(await events.next() == nil)
    #expect(try keyMapping() == [other])
  }

  #if !os(macOS)
  // A list that cannot be read when the guard is killed: the monitor tries
  // for 30 s, then says why it stopped; mended, the list comes back at the end.
  @Test func aMonitorThatStopsSaysWhy() async throws {
    try setKeyMapping([other])
    let session = try FnRemapSession(guard: guardTool)
    try "[".write(to: root.appendingPathComponent("hid/UserKeyMapping.json"), atomically: false, encoding: .utf8)
    kill(session.guardPID, SIGKILL)
    var events = session.events.makeAsyncIterator()
    let why = "cannot read the key mapping: the key mapping is malformed"
    #expect(await events.next() == .monitorStopped(FnRemapError(code: .readFailed, description: why)))
    try setKeyMapping([other, ours])
    try await session.end()
    #expect(try keyMapping() == [other])
  }
  #endif

  @Test func suspendGivesTheListBackAndResumeHoldsAgain() throws {
    try setKeyMapping([other])
    let session = try FnRemapSession(guard: guardTool, followsUserSession: false)
    try session.suspend()
    #expect(try keyMapping() == [other])
    #expect(session.guardPID > 0)
    try session.resume()
    #expect(try keyMapping() == [other, ours])
    try session.end()
    #expect(try keyMapping() == [other])
  }

  @Test func theGuardRemovesTheEntryOfAKilledApplication() throws {
    try setKeyMapping([other])
    let app = Process()
    app.executableURL = products.appendingPathComponent("c-parent-app")
    app.arguments = [guardTool.path]
    let output = Pipe()
    app.standardOutput = output
    try app.run()
    var said = ""
    while !said.contains("watching"), case let data = output.fileHandleForReading.availableData, !data.isEmpty {
      said += String(decoding: data, as: UTF8.self)
    }
    try #require(said.contains("fn remap installed"), "c-parent-app said: \(said)")
    #expect(try keyMapping() == [other, ours])
    kill(app.processIdentifier, SIGKILL)
    app.waitUntilExit()
    let deadline = Date().addingTimeInterval(5)
    while try keyMapping() != [other], Date() < deadline { usleep(20_000) }
    #expect(try keyMapping() == [other])
  }
}

#if os(macOS)
let mayChangeKeyMapping = ProcessInfo.processInfo.environment["FNREMAPKIT_TEST_REAL_HID"] == "1"
#else
let mayChangeKeyMapping = true
#endif

typealias Entry = [String: Int64]

func entry(_ source: Int64, _ destination: Int64) -> Entry {
  ["HIDKeyboardModifierMappingSrc": source, "HIDKeyboardModifierMappingDst": destination]
}

/// The build's products folder, where the package's executables are: on
/// macOS the folder holding the test bundle, elsewhere the test binary's own.
let products: URL = {
  let bundle = Bundle(for: FnRemapSessionTests.self).bundleURL
  return bundle.pathExtension == "xctest" ? bundle.deletingLastPathComponent() : bundle
}()

let guardTool = products.appendingPathComponent("tarnwick-fn-guard")

struct ToolFailed: Error { let tool: String, status: Int32 }

/// Runs one of the package's executables to its exit; its standard output.
func run(_ tool: String, _ arguments: String..., input: String = "") throws -> String {
  let process = Process()
  process.executableURL = products.appendingPathComponent(tool)
  process.arguments = arguments
  let stdin = Pipe(), stdout = Pipe()
  (process.standardInput, process.standardOutput) = (stdin, stdout)
  try process.run()
  stdin.fileHandleForWriting.write(Data(input.utf8))
  try stdin.fileHandleForWriting.close()
  let output = stdout.fileHandleForReading.readDataToEndOfFile()
  process.waitUntilExit()
  guard process.terminationStatus == 0 else { throw ToolFailed(tool: tool, status: process.terminationStatus) }
  return String(decoding: output, as: UTF8.self)
}

/// The key mapping as the library's store reads it, through `keymap get`.
func keyMapping() throws -> [Entry] {
  try run("keymap", "get").split(separator: "\n").filter { $0 != "unset" }.map { line in
    Entry(uniqueKeysWithValues: line.split(separator: " ").map { word in
      let pair = word.split(separator: "=", maxSplits: 1)
      return (String(pair[0]), Int64(pair[1]) ?? 0)
    })
  }
}

func setKeyMapping(_ list: [Entry]) throws {
  _ = try run("keymap", "set", input: list.map { entry in
    entry.map { "\($0.key)=\($0.value)" }.joined(separator: " ")
  }.joined(separator: "\n"))
}
