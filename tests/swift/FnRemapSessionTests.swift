// SPDX-License-Identifier: Apache-2.0
import CFnRemapKit
@testable import FnRemapKit
import Foundation
import Testing

/// The Swift layer over the C interface: its forms, errors and events. What
/// a session does to the key mapping is the C++ tests' to check.
///
/// Each test has the key mapping to itself, empty at the start: on Linux a
/// fresh stand-in, named by TARNWICK_HID_STATE_DIR; on a Mac the real one,
/// saved first and put back at the end, so only with
/// FNREMAPKIT_TEST_REAL_HID=1. The variable is one per process, so the tests
/// run one at a time.
@Suite(.serialized, .enabled(if: mayChangeKeyMapping,
                             "changes the real key mapping: set FNREMAPKIT_TEST_REAL_HID=1 to run it"))
final class FnRemapSessionTests {
  let root = FileManager.default.temporaryDirectory.appendingPathComponent("fnremapkit-\(UUID())")
  let saved: String
  let ours = entry(FnRemapSession.fnSource, FnRemapSession.fnDestination)

  init() throws {
    try FileManager.default.createDirectory(at: root, withIntermediateDirectories: false)
    setenv("TARNWICK_HID_STATE_DIR", root.appendingPathComponent("hid").path, 1)
    saved = try run("keymap", "get")
    try setKeyMapping([])
  }

  deinit {
    _ = try? run("keymap", "set", input: saved)
    unsetenv("TARNWICK_HID_STATE_DIR")
    try? FileManager.default.removeItem(at: root)
  }

  // The synchronous forms, the key and its destination passed on as given,
  // and a release that ends a session not ended. Only the stand-in can be
  // made to refuse the restore: by a state directory that others may write
  // to, which the key mapping's lock refuses first.
  @Test func theSynchronousFormsInstallRestoreAndThrow() throws {
    let session = try FnRemapSession(guard: guardTool)
    #expect(try keyMapping() == [ours])
    #if !os(macOS)
    let state = root.appendingPathComponent("hid").path
    chmod(state, 0o770)
    let error = #expect(throws: FnRemapError.self) { try session.end() }
    #expect(error?.description == "cannot lock the key mapping: state directory \(state) is writable by group or others")
    #expect(error?.code == .lockRefused)
    chmod(state, 0o700)
    #endif
    try session.end()
    var released: FnRemapSession? = try FnRemapSession(guard: guardTool, source: 0x7_0000_0039, destination: 1)
    #expect(try keyMapping() == [entry(0x7_0000_0039, 1)])
    #expect(released?.guardPID ?? 0 > 0) // and the session lives until here
    released = nil
    #expect(try keyMapping() == [])
  }

  // A guard that is missing, or no file, is named in the line itself, not
  // Foundation's "The operation couldn't be completed". The test runner is
  // no application bundle: the default guard is none, and a session without
  // one says so.
  @Test func aMissingGuardIsNamed() throws {
    let missing = root.appendingPathComponent("no-guard-here")
    let remote = URL(string: "https://example.com")!.appendingPathComponent(guardTool.path)
    for (said, begin) in [
      ("cannot start the guard at \(missing.path): ", { try FnRemapSession(guard: missing) }),
      ("cannot start the guard: not a file URL: https:", { try FnRemapSession(guard: remote) }),
      ("cannot start the guard: no tarnwick-fn-guard in the application's bundle", { try FnRemapSession() }),
    ] as [(String, () throws -> FnRemapSession)] {
      let error = #expect(throws: FnRemapError.self) { try begin() }
      #expect(error?.code == .guardNotStarted)
      #expect(error.map { ($0 as Error).localizedDescription }?.hasPrefix(said) == true, "\(said)")
    }
  }

  // Where a bundle's guard is looked for: Helpers first, then MacOS, an
  // executable file only. A mode of 0 makes a folder by that name.
  @Test func theBundledGuardIsTheFirstExecutableFile() throws {
    let bundle = root.appendingPathComponent("App.app")
    let helpers = bundle.appendingPathComponent("Contents/Helpers/tarnwick-fn-guard")
    let macOS = bundle.appendingPathComponent("Contents/MacOS/tarnwick-fn-guard")
    for (present, found) in [
      ([(helpers, 0o755), (macOS, 0o755)], helpers as URL?), ([(macOS, 0o755)], macOS), ([(helpers, 0o644), (macOS, 0o755)], macOS),
      ([(helpers, 0), (macOS, 0o755)], macOS), ([(helpers, 0o644)], nil), ([], nil),
    ] as [([(URL, Int)], URL?)] {
      try? FileManager.default.removeItem(at: bundle)
      for (file, mode) in present {
        try FileManager.default.createDirectory(at: mode == 0 ? file : file.deletingLastPathComponent(), withIntermediateDirectories: true)
        #expect(mode == 0 || FileManager.default.createFile(atPath: file.path, contents: Data(), attributes: [.posixPermissions: mode]))
      }
      #expect(FnRemapSession.guardURL(inBundle: bundle) == found, "\(present)")
    }
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

  // The monitor's events as the Swift layer names them (beside the C
  // module's), and the stream's end with the session.
  @Test func theMonitorsEventsFinishWithTheSession() async throws {
    let session = try FnRemapSession(guard: guardTool)
    var events = session.events.makeAsyncIterator()
    kill(session.guardPID, SIGKILL)
    #expect(await events.next() == .guardReplaced)
    #if !os(macOS)
    // A list that cannot be read when the guard is killed again: the monitor
    // tries for 30 s, then says why it stopped; mended, the session ends.
    try "[".write(to: root.appendingPathComponent("hid/UserKeyMapping.json"), atomically: false, encoding: .utf8)
    kill(session.guardPID, SIGKILL)
    let why = "cannot read the key mapping: the key mapping is malformed"
    #expect(await events.next() == .monitorStopped(FnRemapError(code: .readFailed, description: why)))
    try setKeyMapping([ours])
    #endif
    try await session.end()
    #expect(await events.next() == nil)
  }
}

#if os(macOS)
let mayChangeKeyMapping = ProcessInfo.processInfo.environment["FNREMAPKIT_TEST_REAL_HID"] == "1"
#else
let mayChangeKeyMapping = true
#endif

/// An entry as `keymap` writes it on a line: its keys in order.
func entry(_ source: Int64, _ destination: Int64) -> String {
  "HIDKeyboardModifierMappingDst=\(destination) HIDKeyboardModifierMappingSrc=\(source)"
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
  let process = Process(), stdin = Pipe(), stdout = Pipe()
  process.executableURL = products.appendingPathComponent(tool)
  process.arguments = arguments
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
func keyMapping() throws -> [String] {
  try run("keymap", "get").split(separator: "\n").map { $0.trimmingCharacters(in: .whitespaces) }.filter { $0 != "unset" }
}

func setKeyMapping(_ list: [String]) throws { _ = try run("keymap", "set", input: list.joined(separator: "\n")) }
