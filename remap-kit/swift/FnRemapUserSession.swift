// SPDX-License-Identifier: Apache-2.0
/// Tells when the user's login session stops, or starts again, being the
/// active one: on macOS, NSWorkspace's notifications; in a test, the test.
@MainActor
protocol UserSessionActivity: AnyObject {
  /// Calls `changed` on the main actor, with false when the user's login
  /// session is no longer the active one and true when it is again, until
  /// `stop()`.
  func start(_ changed: @escaping @MainActor @Sendable (_ active: Bool) -> Void)
  /// Calls `changed` no more.
  func stop()
}

/// Suspends a session while its user's login session is not the active one
/// (fast user switching: the key mapping is the whole machine's, so another
/// user at the keyboard would get the remap), and resumes it when it is
/// again. It lives on the main actor, where the activity tells it; the
/// session's calls it makes run on the session's own queue, in the order
/// told, so the main actor never waits for the key mapping's lock.
@MainActor
final class FnRemapUserSessionFollower {
  /// Weakly: the session owns its follower, and may go at any time.
  private weak var session: FnRemapSession?
  private var activity: (any UserSessionActivity)?

  nonisolated init() {}

  /// Follows what `activity` tells for `session`, in place of anything
  /// followed before.
  func follow(_ session: FnRemapSession, activity: any UserSessionActivity) {
    stop()
    self.session = session
    self.activity = activity
    activity.start { [weak self] active in self?.changed(active) }
  }

  func changed(_ active: Bool) {
    guard let session else { return stop() }
    session.enqueue { active ? try $0.resume() : try $0.suspend() }
  }

  /// Follows nothing more: for a session ended or gone.
  func stop() {
    activity?.stop()
    activity = nil
    session = nil
  }

  #if canImport(AppKit)
  /// Follows the system's user switches for `session`.
  func followSystem(_ session: FnRemapSession) {
    follow(session, activity: WorkspaceSessionActivity())
  }
  #endif
}

#if canImport(AppKit)
import AppKit

/// The user's login session as NSWorkspace tells it.
@MainActor
final class WorkspaceSessionActivity: UserSessionActivity {
  private var observers: [any NSObjectProtocol] = []

  func start(_ changed: @escaping @MainActor @Sendable (_ active: Bool) -> Void) {
    let center = NSWorkspace.shared.notificationCenter
    let names = [
      (NSWorkspace.sessionDidResignActiveNotification, false), (NSWorkspace.sessionDidBecomeActiveNotification, true),
    ]
    observers = names.map { name, active in
      // Delivered on the main queue, so on the main actor.
      center.addObserver(forName: name, object: nil, queue: .main) { _ in
        MainActor.assumeIsolated { changed(active) }
      }
    }
  }

  func stop() {
    for observer in observers { NSWorkspace.shared.notificationCenter.removeObserver(observer) }
    observers = []
  }
}
#endif
