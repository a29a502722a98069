// swift-app GUARD
//
// The README's Swift integration as a program: it begins a session with the
// guard at GUARD, listens to its events, and ends it.
import FnRemapKit
import Foundation

let helperURL = URL(fileURLWithPath: CommandLine.arguments.count > 1 ? CommandLine.arguments[1] : "tarnwick-fn-guard")

// snippet: begin
do {
  let session = try await FnRemapSession.begin(guard: helperURL)  // Fn is F19 from here on
  let watching = Task {
    for await event in session.events {
      if case .monitorStopped(let error) = event { print("the remap is no longer watched: \(error)") }
    }
  }
  // ... the application runs; on a normal quit:
  try await session.end()
  await watching.value  // the events end with the session
} catch let error as FnRemapError {
  print(error.code == .locked ? "another application is writing the key mapping: try again" : error.description)
}
// snippet: end
