// SPDX-License-Identifier: Apache-2.0
/*
 * The install and remove protocol of FnRemapKit: sessions in several
 * applications, their guards, each session's monitor, the lock with its
 * bound, the ledger of holds, an outside writer, and SIGKILL at any step.
 * model/README.md says how each step maps to the code, which steps are
 * merged and why, and what is left out.
 *
 * State
 *   list       the user key mapping, one for the machine: how many copies of
 *              each entry it holds (the order of its entries is left out)
 *   holds      the ledger's holds: one bit per session (its application's
 *              pid, its guard's pid, the entry; every hold names S)
 *   displaced  the ledger's displaced entries for the Fn source
 *   lock       the flock(2) lock: who holds it, or FREE
 *
 * Entries: U, the user's own Fn entry, in the list at the start; S, the
 * sessions' entry Fn -> F19 (every session installs this same one); W, a new
 * user Fn entry the outside writer may set; O, a user entry for another key.
 *
 * Processes
 *   App(0), App(1)  two applications, one session each: begin; then, while
 *                   it runs, its monitor's work (a guard replaced or its
 *                   hold tidied, a keyboard's re-apply) and, for A, one
 *                   suspend and resume; then end
 *   Guard(g, i)     a guard of session i (FnGuard::runGuard); a session's
 *                   first guard is g = i, its replacements g = i + 3, i + 5
 *   Writer          examples/keymap set: takes the lock, writes a list of its
 *                   own, or a stale one it read earlier
 *   Stranger        may send a stop signal to A's guard of the moment
 *   Check           once all of those have finished: the end-state checks;
 *                   then App(2), a later session, and the checks once more
 * Faults: each session's application may be SIGKILLed once, or its guard
 * of the moment, or the two at once, at any step (a step of the process
 * killed). With the monitor only A's guard is killed alone (B's alone is
 * A's trail with the names swapped, but for A's suspend and re-apply);
 * -DTWO_FAULTS lets A have both, in either order (its guard, replaced, then
 * its application, is the case that matters), and -DONLY_A_FAULTS spares B.
 *
 * Properties (each failure prints "broken: Pn" and fails an assertion)
 *   P1 once every application and guard has finished, no S in the list;
 *      except where an application ended without its own release (SIGKILLed,
 *      or its end did not have the lock) while its guard of the moment was
 *      SIGKILLed (with it, or before it and not yet replaced), unless a
 *      stranger's signal had that session's guard release first; or where
 *      the outside writer put S back with no guard left to retry; after the
 *      later session has ended there is none in any case
 *   P2 the user's entries are as the user left them, each once, after the
 *      last hold has ended
 *   P3 while a session is installed (not suspended) and the guard its hold
 *      names alive and unsignalled, S is in the list
 *   P4 every list write by FnRemapKit follows its writer's read of the
 *      current list (no lost update)
 *   P3 and P4 are exempt while a guard is past the bound (from then to the
 *   end of its retry); the outside writer's own changes are exempt throughout.
 *
 * Steps. Under the lock only the writes can be seen by anyone else (a guard
 * past the bound reads without the lock; the outside writer may read a
 * stale copy; a SIGKILL may fall between two writes), so each locked
 * section is: the lock with every read and the whole plan (one step), then
 * each write of the list or the ledger (one step each), the last one
 * together with the unlock. Reads and writes made without the lock are a
 * step each.
 *
 * Parts (-D): NO_MONITOR (the sessions as begin and end alone; no suspend
 * and no re-apply either), NO_SUSPEND, NO_REAPPLY, NO_WRITER, NO_STRANGER,
 * NO_FAULTS leave out what they name; TWO_FAULTS, ONLY_A_FAULTS change the
 * kills; BEGIN_TIMEOUT, END_TIMEOUT let begin and end give up on the lock.
 * Variants (-D): NO_LOCK, END_FROM_BEGIN_LIST, STRANGER_KILLS, NO_RETRY,
 * RETRY_NO_MERGE, DROP_HOLD_FIRST, REGUARD_AFTER_EXIT0, DISPLACED_ADD,
 * NO_GUARD_CHECK, BARE_LOCKLESS_REMOVAL (the guard's first removal past the
 * bound; P2 now exempts what any unlocked write leaves); each changes only
 * its named step.
 * -DONLY=n checks property Pn alone.
 */

#ifndef ONLY
#define ONLY 0
#endif
#ifndef NO_MONITOR
#define MONITORED true
#else
#define MONITORED false
#define NO_SUSPEND
#define NO_REAPPLY
#endif
#ifdef TWO_FAULTS
#define TWO_KILLS true
#else
#define TWO_KILLS false
#endif

#define NAPP 3 /* A, B, and the later session C */
#define LATER 2
#define NGUARD 7 /* A's 0, 3, 5; B's 1, 4, 6; C's 2 */

/* ---- entries, and the list as counts of them (two bits each) ---- */
#define U 0
#define S 1
#define W 2
#define O 3

#define cnt(l, e) (((l) >> (2 * (e))) & 3)
#define one(e) (1 << (2 * (e)))
#define without(l, e) ((l) & ~(3 << (2 * (e))))
#define flag(e) (1 << (e))
#define has(set, e) (((set) & flag(e)) != 0)

/* no user entry for the Fn source in the list */
#define fnFree(l) (cnt(l, U) == 0 && cnt(l, W) == 0)

/* the Fn entries other than ours that merging drops from l */
#define dropped(l) ((cnt(l, U) > 0 -> flag(U) : 0) | (cnt(l, W) > 0 -> flag(W) : 0))

/* Holds::addHold's recordDisplaced: the entries a merge drops from l
   replace the older displaced ones (the user has set them since) */
inline displacing(disp, l) {
#ifndef DISPLACED_ADD
  if
  :: dropped(l) != 0 -> disp = dropped(l)
  :: else -> skip
  fi
#else
  disp = disp | dropped(l)
#endif
}

/* one more copy of e in list x */
inline add(x, e) {
  if
  :: cnt(x, e) < 3 -> x = x + one(e)
  :: else -> skip
  fi
}

/* x = FnRemapMapping::merging(x, S): every Fn entry out, then S */
inline merging(x) {
  x = without(without(without(x, U), S), W) + one(S)
}

/* Holds' takeOut: S out, and what was displaced back while the list holds
   no other entry for the source */
inline releasing(x, disp) {
  if
  :: fnFree(x) ->
    x = without(x, S);
    if
    :: has(disp, U) -> add(x, U)
    :: else -> skip
    fi;
    if
    :: has(disp, W) -> add(x, W)
    :: else -> skip
    fi
  :: else -> x = without(x, S)
  fi
}

/* ---- who: process ids (for the lock and the ghost reads) ---- */
#define APP(i) (i)
#define GUARD(g) (3 + (g))
#define WRITER 10
#define FREE 255

/* ---- signals in a guard's self-pipe ---- */
#define NONE 0
#define STRANGER 1
#define PARENT 2

/* ---- what an application's locked section is for ---- */
#define BEGIN 1
#define REHOLD 2  /* the monitor: a new guard's hold in place of the old */
#define RESUME 3
#define REAPPLY 4 /* the monitor: a keyboard appeared */
#define END 5
#define SUSPEND 6
#define TIDY 7    /* the monitor: its guard exited 0, having released */

byte list = one(U) + one(O);
byte holds = 0;
byte displaced = 0;
byte lock = FREE;

bool appAlive[NAPP];    /* the application's pid exists (pids never reused) */
bool appKilled[NAPP];   /* SIGKILLed */
bool appDone[NAPP];
bool installed[NAPP];   /* the session holds S: from its install to its release */
bool suspended[NAPP];
byte cur[NAPP];         /* the session's guard of the moment */
byte held[NAPP];        /* the guard its hold was last made for */
bool wasInstalled[NAPP]; /* begin installed: a stranger's signal may come from then on */
bool endFailed[NAPP];   /* its end did not have the lock: it exits, its hold left to its guard */
bool appKillLeft[NAPP], guardKillLeft[NAPP]; /* the SIGKILLs not yet used */
bool guardStarted[NGUARD];
bool guardLeaving[NGUARD]; /* woken: it has closed its report pipe */
bool guardKilled[NGUARD];  /* SIGKILLed */
bool guardDone[NGUARD];
byte sig[NGUARD];          /* the first stop signal in the guard's pipe */
bool writerDone, strangerDone;

/* ---- ghosts, for the properties only ---- */
short fresh = 0;        /* bit p: process p knows the current list (read it, or wrote it) */
byte pastBound = 0;     /* guards between going past the bound and the end of their retry */
byte outwaited = 0;     /* bit g: guard g went past the bound while the writer held the lock */
bool sByWriter = false; /* the writer's write put S in and no FnRemapKit write followed */
bool p3lost[NAPP];      /* the writer's write took S out while session i was installed */
bool strangerReleased[NAPP]; /* a guard of session i released on a stranger's signal, and
                                the session has not installed by its own call since */
byte intent = one(U) + one(O); /* the user's entries, as the user last set them */
bool intentKnown = true;       /* false once the writer wrote a stale list */
bool lockless = false;         /* a guard past the bound wrote the list without the lock */

#define require(n, cond)                                                                 \
  if                                                                                     \
  :: (ONLY != 0 && ONLY != n) || (cond) -> skip                                          \
  :: else -> printf("broken: P%d\n", n); assert(false)                                  \
  fi

#define liveAt(h, k) (((h) & flag(k)) != 0 && appAlive[k])
#define liveOther(h, j) ((j != 0 && liveAt(h, 0)) || (j != 1 && liveAt(h, 1)) || (j != 2 && liveAt(h, 2)))
#define aliveSet ((appAlive[0] -> 1 : 0) | (appAlive[1] -> 2 : 0) | (appAlive[2] -> 4 : 0))

/* P3 for session i */
#define p3(i) (!installed[i] || guardKilled[held[i]] || guardDone[held[i]] || sig[held[i]] != NONE || \
               p3lost[i] || cnt(list, S) > 0)
#define checkP3() require(3, pastBound > 0 || (p3(0) && p3(1) && p3(2)))

/* ---- the lock: KeyMappingLock::acquire ---- */
#ifndef NO_LOCK
#define TAKE lock == FREE -> lock = me
#define TAKEIF(c) (c) && lock == FREE -> lock = me
#define BUSY lock != FREE && lock != me
#define GIVE lock = FREE
#else
#define TAKE skip
#define TAKEIF(c) (c) -> skip
#define BUSY false
#define GIVE skip
#endif

/* the reads made under the lock: KeyMappingStore::read, KeyMappingLedger::load */
inline readAll() {
  l = list; n = list; lh = holds; ld = displaced; fresh = fresh | flag(me)
}

/* a FnRemapKit writer's KeyMappingStore::write of n (inside a d_step) */
inline putList() {
  require(4, pastBound > 0 || (fresh & flag(me)) != 0);
  list = n;
  printf("[%d] list write: U%d S%d W%d O%d\n", me, cnt(list, U), cnt(list, S), cnt(list, W), cnt(list, O));
  fresh = flag(me);
  sByWriter = false;
  if
  :: cnt(list, S) > 0 -> p3lost[0] = false; p3lost[1] = false
  :: else -> skip
  fi;
  checkP3()
}

/* KeyMappingLedger::save of lh, ld (inside a d_step; the file is replaced
   by rename: a read is whole) */
inline putLedger() {
  holds = lh; displaced = ld;
  printf("[%d] ledger write: holds %d displaced %d\n", me, holds, displaced)
}

/* the unlock; the local copies are dead from here, and forgotten so that
   states that differ only in them are one */
inline giveAndForget() {
  GIVE; l = 0; n = 0; lh = 0; ld = 0; j = 0; fresh = fresh & ~flag(me)
}

/* no list write planned: the copies are dead */
inline forgetUnchanged() {
  if
  :: n == l -> l = 0; n = 0
  :: else -> skip
  fi
}

/* Holds::release over the plan n (list), lh, ld (holds, displaced): every
   hold of a gone application and hold `pick` (NAPP: none) go; S leaves the
   list when any went or `ours` is given, unless a staying hold (all are
   live) names it; displaced goes with the last hold. */
inline planRelease(pick, ours) {
  j = lh & ~(aliveSet & ~flag(pick));
  lh = lh & ~j;
  if
  :: (j != 0 || ours) && lh == 0 -> releasing(n, ld)
  :: else -> skip
  fi;
  if
  :: lh == 0 -> ld = 0
  :: else -> skip
  fi;
  j = 0
}

/* ---- SIGKILL ---- */
#define guardRuns(g) (guardStarted[g] && !guardDone[g] && !guardKilled[g])
/* a guard that still watches: running, its report pipe open (State::guardWatching) */
#define watching(g) (guardRuns(g) && !guardLeaving[g])
/* how the monitor sees a guard that has ended: by a signal (a SIGKILL, or
   under STRANGER_KILLS the stranger's), or by exit 0 after its release */
#define bySignal(g) (guardKilled[g] || (guardDone[g] && !guardLeaving[g] && sig[g] == STRANGER))
#define exited0(g) (guardDone[g] && !bySignal(g))

inline killApp(i) {
  appKilled[i] = true; appAlive[i] = false; installed[i] = false; suspended[i] = false; appDone[i] = true;
  if
  :: !guardStarted[cur[i]] -> guardDone[cur[i]] = true
  :: else -> skip
  fi;
  printf("[%d] SIGKILL\n", APP(i));
  fresh = fresh & ~flag(APP(i));
  if
  :: lock == APP(i) -> lock = FREE /* the kernel drops its lock */
  :: else -> skip
  fi
}
inline killGuard(g) {
  guardKilled[g] = true; guardDone[g] = true;
  printf("[%d] SIGKILL\n", GUARD(g));
  fresh = fresh & ~flag(GUARD(g));
  if
  :: lock == GUARD(g) -> lock = FREE
  :: else -> skip
  fi
}

/* A SIGKILL is a step of the process killed, an alternative at each of its
   steps that others can see (one after a step only of its own locals is the
   same as one before it); the process then ends, its locals forgotten. An
   application's step may also kill its guard with it: the guard then leaves
   at its next step, before doing anything (its `unless`), as a SIGKILLed
   process takes no further step. */
#define APP_DIES                                                                                      \
  :: d_step { appKillLeft[i] -> appKillLeft[i] = false; guardKillLeft[i] = (TWO_KILLS && i == 0 && guardKillLeft[i]); \
              killApp(i); forgetApp() }; goto done                                                   \
  :: d_step { appKillLeft[i] && guardKillLeft[i] && guardRuns(cur[i]) ->                             \
              appKillLeft[i] = false; guardKillLeft[i] = false; killApp(i); killGuard(cur[i]); forgetApp() }; goto done
#define GUARD_DIES                                                               \
  :: d_step { guardKillLeft[i] && (i == 0 || !MONITORED) -> guardKillLeft[i] = false; appKillLeft[i] = (TWO_KILLS && appKillLeft[i]); killGuard(g) }

/* a guard's release done, after a stranger's signal (for P1's exemption) */
inline releasedOnSignal() {
  if
  :: sig[g] == STRANGER -> strangerReleased[i] = true
  :: else -> skip
  fi
}

/* ---- the guard: FnGuard::runGuard ---- */
proctype Guard(byte g; byte i) {
  byte me = GUARD(g);
  byte l, n, lh, ld, j;
  byte d1; /* the retry: displaced once the merge-back is recorded */

  {
    /* ExitWatch::wait: the parent's exit, or a signal on the self-pipe; the
       guard closes its report pipe as it wakes, so that a session about to
       install sees it no longer watches */
    if
    :: sig[g] == PARENT -> printf("[%d] the parent's signal: quiet end\n", me); goto quiet /* endByDefaultAction */
#ifndef STRANGER_KILLS
    :: d_step { sig[g] == STRANGER || !appAlive[i] -> guardLeaving[g] = true }
#else
    :: sig[g] == STRANGER -> goto quiet
    :: d_step { !appAlive[i] -> guardLeaving[g] = true }
#endif
    GUARD_DIES
    fi;

    /* FnGuard::detail::releaseForGuard, the lock within its bound:
       Release::locked(false): the repair and our own release planned at once */
    if
    :: d_step { TAKE; readAll(); planRelease(i, true); forgetUnchanged() }
    :: BUSY -> printf("[%d] lock: past the bound\n", me); goto late
    GUARD_DIES
    fi;
    if
    :: n != l ->
      if
      :: d_step { putList(); l = 0; n = 0 } /* Release::write: KeyMappingStore::write */
      GUARD_DIES
      fi
    :: n == l -> skip
    fi;
    if
    :: d_step { putLedger(); giveAndForget(); releasedOnSignal() } /* KeyMappingLedger::save, then the unlock */
    GUARD_DIES
    fi;
    goto quiet;

late: /* ... or past it: Release::unlocked: the ledger peeked, never written, no repair */
    skip;
    if
    :: d_step {
         pastBound++;
         if
         :: lock == WRITER -> outwaited = outwaited | flag(g)
         :: else -> skip
         fi
       }
    GUARD_DIES
    fi;
    if
    :: d_step { lh = holds; ld = displaced } /* KeyMappingLedger::peek, no lock */
    GUARD_DIES
    fi;
    if
    :: d_step {                           /* KeyMappingStore::read, no lock; Holds::releaseEntry */
      l = list;
      if
      :: !liveOther(lh, i) && cnt(l, S) > 0 ->
#ifndef BARE_LOCKLESS_REMOVAL
        /* the release's own write, with the displaced entries of the ledger
           it read: a release it races writes the same list */
        n = l; releasing(n, ld)
#else
        n = without(l, S)
#endif
      :: else -> n = l /* kept for another live hold, or already gone */
      fi;
      lh = 0; ld = 0;
      if
      :: n == l -> l = 0; n = 0
      :: else -> skip
      fi
       }
    GUARD_DIES
    fi;
    if
    :: n != l ->
      if
      :: d_step { lockless = true; putList(); l = 0; n = 0; fresh = 0 } /* KeyMappingStore::write, no lock */
      GUARD_DIES
      fi
    :: n == l -> skip
    fi;
#ifndef NO_RETRY
    /* the retry: KeyMappingLock::acquire(retryBound), the holder resumes
       within it; Release::locked(true): Holds::restoreLive merges back the
       entry of every other live hold the list lacks, recording what it
       drops, then the release as within the bound */
    if
    :: d_step {
      TAKE; readAll();
      d1 = ld;
#ifndef RETRY_NO_MERGE
      if
      :: liveOther(lh, i) && cnt(n, S) == 0 -> displacing(ld, n); merging(n); d1 = ld
      :: else -> skip
      fi;
#endif
      planRelease(i, true);
      forgetUnchanged()
       }
    GUARD_DIES
    fi;
    if
    :: d1 != displaced ->
      if
      :: d_step { displaced = d1; d1 = 0; printf("[%d] ledger write: displaced %d\n", me, displaced) }
      GUARD_DIES
      fi
    :: d1 == displaced -> d1 = 0
    fi;
    if
    :: n != l ->
      if
      :: d_step { putList(); l = 0; n = 0 }
      GUARD_DIES
      fi
    :: n == l -> skip
    fi;
    if
    :: d_step { putLedger(); giveAndForget(); pastBound--; printf("[%d] retry ended\n", me); checkP3(); releasedOnSignal() }
    GUARD_DIES
    fi
#else
    d_step { l = 0; n = 0 }
#endif
quiet:
    guardDone[g] = true
  } unless {
    /* SIGKILLed (by its own step, or with its application): it ends; what
       the kernel does at its death was done in the killing step. (A kill
       between its last step and this end would only add to what the
       properties exempt.) */
    guardKilled[g] -> d_step { l = 0; n = 0; lh = 0; ld = 0; j = 0; d1 = 0 }
  }
}

/* ---- an application with one session: FnRemapSession ---- */

/* Process::launchGuard: spawn, and the readiness report. A guard that ends
   before it reports is the same as one that ends right after it, which the
   check under the lock finds. A replacement takes the session's next slot. */
inline startGuard() {
  if
  :: guardStarted[cur[i]] -> cur[i] = cur[i] + (cur[i] < 3 -> 3 : 2)
  :: else -> skip
  fi;
  assert(cur[i] < NGUARD);
  run Guard(cur[i], i);
  guardStarted[cur[i]] = true
}

/* ChildProcess::terminate: the parent's SIGTERM */
inline terminate() {
  if
  :: sig[cur[i]] == NONE -> sig[cur[i]] = PARENT; printf("[%d] signals its guard\n", me)
  :: else -> skip
  fi
}

inline exitApp() {
  appAlive[i] = false; printf("[%d] exit\n", me); appDone[i] = true
}

#ifdef END_FROM_BEGIN_LIST
#define forgetOriginal() original = 0
#else
#define forgetOriginal() skip
#endif

/* the install's last step: the session holds S, by the guard of the moment */
inline installedNow() {
  installed[i] = true; wasInstalled[i] = true; held[i] = cur[i];
  if
  :: why == BEGIN || why == RESUME -> suspended[i] = false; strangerReleased[i] = false
  :: else -> skip
  fi;
  why = 0
}

/* State::install, planned under the lock on what was read: the guard still
   watching (State::guardWatching: a guard that left before our hold is
   written would find nothing to remove and leave us unguarded), then
   Holds::release (the repair), Holds::conflicting, Holds::addHold,
   Holds::installing. For begin, resume, the monitor's re-hold after a new
   guard (which releases instead when the new guard no longer watches) and
   its re-apply (which writes only if S is missing). j: 1 the repair's list
   goes first, 4 the guard no longer watches, 5 nothing to re-apply. */
inline planInstall() {
  readAll();
  if
  :: why == REAPPLY && (cnt(l, S) > 0 || !watching(cur[i])) -> GIVE; j = 5
#ifndef NO_GUARD_CHECK
  :: why != REAPPLY && why != REHOLD && !watching(cur[i]) -> GIVE; j = 4
  :: why == REHOLD && !watching(cur[i]) -> installed[i] = false; planRelease(i, true); forgetUnchanged(); j = 4
#endif
  :: else ->
#ifdef END_FROM_BEGIN_LIST
    if
    :: why == BEGIN -> original = l
    :: else -> skip
    fi;
#endif
    planRelease(NAPP, false);
    if
    :: n != l -> j = 1
    :: else -> skip
    fi;
    displacing(ld, n);
    lh = lh | flag(i);
    l = n;
    if
    :: liveOther(lh, i) && cnt(n, S) > 0 -> skip
    :: else -> merging(l)
    fi
  fi;
  if
  :: j >= 4 && why != REHOLD -> l = 0; n = 0; lh = 0; ld = 0; fresh = fresh & ~flag(me)
  :: else -> skip
  fi
}

/* what follows a release's last write: end's exit, suspend's state, or
   for the monitor the hold ended (its new guard, if any, ended); `why`
   stays END for the branch that follows */
inline released() {
  if
  :: why == END -> terminate(); exitApp(); forgetOriginal()
  :: why == SUSPEND -> suspended[i] = true; why = 0
  :: why == REHOLD -> terminate(); why = 0
  :: else -> why = 0
  fi
}

/* a release that changes nothing (the guard's own came first, say) writes
   the same ledger it read, which no reader can tell from no write: it ends
   in its lock's step (j = 6); the re-hold's release, rare, does not */
inline unchangedDone() {
  if
  :: n == l && lh == holds && ld == displaced -> giveAndForget(); released(); j = 6
  :: else -> skip
  fi
}

/* State::releaseWithin: the repair and our release planned at once */
inline planOwnRelease() {
  installed[i] = false;
  readAll();
#ifdef END_FROM_BEGIN_LIST
  if
  :: why == END -> /* as before the ledger: restoring(current, ours, original) */
    n = without(l, S) + (original & (3 | (3 << (2 * W))));
    if
    :: cnt(original, S) > 0 -> n = n + one(S)
    :: else -> skip
    fi
  :: else -> planRelease(i, true); forgetUnchanged()
  fi;
#else
  planRelease(i, true); forgetUnchanged();
#endif
  unchangedDone()
}

proctype App(byte i) {
  byte me = APP(i);
  byte l, n, lh, ld, j;
  byte why;          /* what the locked section in progress is for */
  bool didSuspend;
#ifdef END_FROM_BEGIN_LIST
  byte original;
#endif
  /* the locals of a killed application are dead */
#define forgetApp() l = 0; n = 0; lh = 0; ld = 0; j = 0; why = 0; didSuspend = 0; forgetOriginal()

  {
    /* FnRemapSession::beginOver: State::startGuard */
    if
    :: atomic { startGuard(); why = BEGIN }
    APP_DIES
    fi;

install: /* KeyMappingLock::acquire, then the plan */
    if
    :: d_step { TAKE; planInstall() }
#ifdef BEGIN_TIMEOUT
    :: why == BEGIN && BUSY -> goto beginFailed
#endif
    APP_DIES
    fi;
planned:
    if
    :: j == 4 && why == BEGIN -> j = 0; goto beginFailed /* "the guard ... ended before the remap was installed" */
    :: j == 4 && why == RESUME -> j = 0; why = 0; goto running /* resume fails: still suspended */
    :: j == 4 && why == REHOLD -> j = 0; goto releaseWrites /* State::replaceGuard: release() */
    :: j == 5 -> j = 0; why = 0; goto running /* S is there: nothing to re-apply */
    :: j == 1 ->
      if
      :: d_step { putList(); j = 0 } /* the repair's KeyMappingStore::write */
      APP_DIES
      fi
    :: j == 0 -> skip
    fi;
    if
    :: l != n ->
      if
      :: d_step { putLedger() } /* KeyMappingLedger::save: our hold, the displaced */
      APP_DIES
      fi;
      if
      :: d_step { n = l; putList(); installedNow(); giveAndForget() } /* KeyMappingStore::write of merging */
      APP_DIES
      fi
    :: l == n ->
      if
      :: d_step { putLedger(); installedNow(); checkP3(); giveAndForget() } /* another's S stands */
      APP_DIES
      fi
    fi;

running:
    /* The application runs, its monitor with it (State::watch), whose work
       is serialised with suspend, resume and end: each is one choice here.
       What the monitor or the call sees before the lock is either stable
       (a guard's end, the session's own state) or looked at again under
       the lock, so the lock is taken in the step that chooses. */
    if
#ifndef NO_MONITOR
    /* State::guardEnded: killed by a signal, State::replaceGuard: a new
       guard, watching; its hold is made next */
    :: atomic { i != LATER && installed[i] && bySignal(cur[i]) -> startGuard() }
#ifndef REGUARD_AFTER_EXIT0
    /* exited 0, having released: the hold is ended, no new guard */
    :: d_step { TAKEIF(i != LATER && installed[i] && exited0(cur[i])); why = TIDY; planOwnRelease() }; goto releaseDone
#else
    :: atomic { i != LATER && installed[i] && exited0(cur[i]) -> startGuard() }
#endif
    :: d_step { TAKEIF(i != LATER && installed[i] && held[i] != cur[i] && guardStarted[cur[i]]);
                why = REHOLD; planInstall() }; goto planned
#endif
#ifndef NO_REAPPLY
    /* State::keyboardAppeared: a keyboard may appear at any time; one that
       finds S in the list writes nothing, which is no step at all, and one
       whose guard no longer watches gives the lock back (planInstall) */
    :: d_step { TAKEIF(i == 0 && installed[i] && cnt(list, S) == 0); why = REAPPLY; planInstall() }; goto planned
#endif
#ifndef NO_SUSPEND
    :: d_step { TAKEIF(i == 0 && installed[i] && !didSuspend); didSuspend = true; why = SUSPEND; planOwnRelease() }; goto releaseDone
    :: i == 0 && suspended[i] -> goto resume
#endif
    /* FnRemapSession::end, at any point, a re-guard in flight included (the
       monitor is stopped, the new guard ended with the hold) */
    :: d_step { TAKEIF(installed[i]); why = END; planOwnRelease() }; goto releaseDone
#ifdef END_TIMEOUT
    :: installed[i] && BUSY -> endFailed[i] = true; goto leave /* end fails: the guard is kept for our exit */
#endif
    /* suspended, or the hold ended by the monitor: the guard is ended */
    :: d_step { !installed[i] -> suspended[i] = false; terminate(); exitApp() }; goto done
    APP_DIES
    fi;
    goto running;

resume: /* State::resume: a new guard first if ours has ended, then as begin */
    if
    :: atomic { guardDone[cur[i]] -> startGuard(); why = RESUME }
    :: d_step { !guardDone[cur[i]] -> why = RESUME }
    APP_DIES
    fi;
    goto install;

releaseDone:
    if
    :: j == 6 -> j = 0; goto afterRelease
    :: j != 6 -> skip
    fi;
releaseWrites:
#ifndef DROP_HOLD_FIRST
    if
    :: n != l ->
      if
      :: d_step { putList(); l = 0; n = 0 } /* KeyMappingStore::write, its verify always passes here */
      APP_DIES
      fi
    :: n == l -> skip
    fi;
    /* KeyMappingLedger::save and the unlock; for end, with
       ChildProcess::terminate and the exit: once our hold is gone no other
       process reads anything of ours but the guard's pipe and our pid's
       life, which the guard reads together */
    if
    :: d_step { putLedger(); giveAndForget(); released() }
    APP_DIES
    fi;
#else
    if
    :: d_step { putLedger() }
    APP_DIES
    fi;
    if
    :: d_step {
         if
         :: n != l -> putList()
         :: else -> skip
         fi;
         giveAndForget();
         released()
       }
    APP_DIES
    fi;
#endif
afterRelease:
    if
    :: why == END -> goto done
    :: why != END -> goto running
    fi;

beginFailed: /* nothing written; the state's destructor ends the guard */
    skip;
    if
    :: d_step { terminate(); exitApp() }
    APP_DIES
    fi;
    goto done;
leave:
    skip;
    if
    :: d_step { installed[i] = false; exitApp() }
    APP_DIES
    fi;
done:
    skip
  }
}

/* ---- examples/keymap set ---- */
inline writerWrite(stale) {
  p3lost[0] = p3lost[0] || (installed[0] && cnt(n, S) == 0);
  p3lost[1] = p3lost[1] || (installed[1] && cnt(n, S) == 0);
  sByWriter = (cnt(list, S) == 0 && cnt(n, S) > 0);
  if
  :: stale -> intentKnown = false /* a copy of some earlier list: the user's meaning is unknown */
  :: else -> intent = n
  fi;
  list = n;
  printf("[%d] list write: U%d S%d W%d O%d\n", me, cnt(list, U), cnt(list, S), cnt(list, W), cnt(list, O));
  fresh = 0;
  GIVE;
  n = 0
}

active proctype Writer() {
  byte me = WRITER;
  byte n;
  if
  :: skip /* no outside write */
#ifndef NO_WRITER
  /* a new user Fn entry: the lock (it may stop holding it), then the
     write and the unlock */
  :: d_step { TAKE; n = one(O) + one(W) }; d_step { writerWrite(false) }
  /* a list read earlier, without the lock, written back under it */
  :: d_step { n = list; printf("[10] list read\n") }; d_step { TAKE }; d_step { writerWrite(true) }
#endif
  fi;
  writerDone = true
}

/* ---- a stop signal from a stranger, to A's guard still waiting ---- */
#define waiting(g) (wasInstalled[0] && guardRuns(g) && !guardLeaving[g] && sig[g] == NONE)
active proctype Stranger() {
  if
  :: skip
#ifndef NO_STRANGER
  :: d_step { waiting(cur[0]) -> sig[cur[0]] = STRANGER; printf("stranger signals [%d]\n", GUARD(cur[0])) }
#endif
  fi;
  strangerDone = true
}

/* the application ended without its own release (SIGKILLed, or its end
   failed on the lock) while its guard of the moment was SIGKILLed, and no
   stranger's signal had a guard of its release first: nobody is left to
   remove S but the next session's repair */
#define orphaned(i) ((appKilled[i] || endFailed[i]) && guardKilled[cur[i]] && !strangerReleased[i])
#define userPart(l) without(l, S)
#define p2ok (cnt(list, O) == 1 && cnt(list, U) + cnt(list, W) <= 1 && \
              (!intentKnown || lockless || holds != 0 || userPart(list) == intent))

/* the S in the list is the writer's: its write put it back and no FnRemapKit
   write came after, and no guard that went past the bound while the writer
   held the lock (and would retry once it was done) is left alive to do so */
#define killedSet ((guardKilled[0] -> 1 : 0) | (guardKilled[1] -> 2 : 0) | (guardKilled[3] -> 8 : 0) | \
                   (guardKilled[4] -> 16 : 0) | (guardKilled[5] -> 32 : 0) | (guardKilled[6] -> 64 : 0))
#define writersOwn (sByWriter && (outwaited & ~killedSet) == 0)
#define allGuardsDone (guardDone[0] && guardDone[1] && (!guardStarted[3] || guardDone[3]) && \
                       (!guardStarted[4] || guardDone[4]) && (!guardStarted[5] || guardDone[5]) && \
                       (!guardStarted[6] || guardDone[6]))

active proctype Check() {
  atomic {
    appAlive[0] = true; appAlive[1] = true; cur[0] = 0; cur[1] = 1; cur[LATER] = LATER;
#ifndef NO_FAULTS
    appKillLeft[0] = true; guardKillLeft[0] = true;
#ifndef ONLY_A_FAULTS
    appKillLeft[1] = true; guardKillLeft[1] = true;
#endif
#endif
    run App(0); run App(1)
  };
  /* a SIGKILLed process stays where it was, so pan runs with -E; a wait
     that no one can end is caught here instead */
  if
  :: appDone[0] && appDone[1] && allGuardsDone && writerDone && strangerDone
  :: timeout -> printf("stuck\n"); assert(false)
  fi;
  d_step {
    require(1, cnt(list, S) == 0 || orphaned(0) || orphaned(1) || writersOwn);
    require(2, p2ok)
  };
  /* the later session: begins after all of them, ends normally */
  atomic { appAlive[LATER] = true; run App(LATER) };
  if
  :: appDone[LATER] && guardDone[LATER]
  :: timeout -> printf("stuck\n"); assert(false)
  fi;
  d_step {
    require(1, cnt(list, S) == 0);
    require(2, p2ok && holds == 0)
  }
}
