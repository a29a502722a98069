// SPDX-License-Identifier: Apache-2.0
// An application's integration of FnRemapKit, as the README shows it: the
// lines between the snippet markers are the README's, word for word.
//
// A command-line stand-in for an application: the guard is its first
// argument (an application bundles it and passes FnRemapSession.bundledGuardURL),
// and it runs until its standard input ends.
import Foundation

let helperURL = URL(fileURLWithPath: CommandLine.arguments.dropFirst().first ?? "tarnwick-fn-guard")

/// The application's life: here, until standard input ends.
func runApplication() async {
  await withCheckedContinuation { (quit: CheckedContinuation<Void, Never>) in
    DispatchQueue.global().async {
      while readLine() != nil {}
      quit.resume()
    }
  }
}

// snippet: begin
import FnRemapKit

@MainActor func runWithFnRemapped() async {
  do {
    let session = try await FnRemapSession.begin(guard: helperURL)  // Fn is F19 from here on
    let events = Task {
      for await event in session.events { print("FnRemapKit:", event) }  // .guardReplaced, .removed, ...
    }
    await runApplication()  // until the user quits; a crash or a kill leaves the remap to the guard
    try await session.end()
    await events.value  // the stream finishes with the session
  } catch let error as FnRemapError where error.code == .locked {
    print("another application is writing the key mapping: try again soon")
  } catch {
    print("no Fn remap:", error)  // FnRemapError: its code and the library's line
  }
}
// snippet: end

await runWithFnRemapped()
print("FnRemapKit: ended")
