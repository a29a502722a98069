/*
 * The install and remove protocol of FnRemapKit: sessions in several
 * applications, their guards, the lock with its bound, the ledger of holds,
 * an outside writer, and SIGKILL at any step. model/README.md says how each
 * step maps to the code, which steps are merged and why, and what is left
 * out.
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
 *   App(0), App(1)  two applications, one session each: begin, then end
 *   Guard(i)        each session's guard (FnGuard::runGuard)
 *   Writer          examples/keymap set: takes the lock, writes a list of its
 *                   own, or a stale one it read earlier
 *   Stranger        may send a stop signal to one guard
 *   Faults(i)       may SIGKILL application i, its guard, or both at once,
 *                   once, at any step
 *   Check           once all of those have finished: the end-state checks;
 *                   then App(2), a later session, and the checks once more
 *
 * Properties (each failure prints "broken: Pn" and fails an assertion)
 *   P1 once every application and guard has finished, no S in the list;
 *      except where an application ended without its own release (SIGKILLed,
 *      or its end did not have the lock) and its guard was SIGKILLed, or
 *      where the outside writer put it back with no guard left to retry;
 *      after the later session has ended there is none in any case
 *   P2 the user's entries are as the user left them, each once, after the
 *      last hold has ended
 *   P3 while a session is installed and its guard alive and unsignalled,
 *      S is in the list
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
 * Variants (-D): NO_LOCK, END_FROM_BEGIN_LIST, STRANGER_KILLS, NO_RETRY,
 * RETRY_NO_MERGE, DROP_HOLD_FIRST; each changes only its named step.
 * -DONLY=n checks property Pn alone.
 */

#ifndef ONLY
#define ONLY 0
#endif

#define NAPP 3 /* A, B, and the later session C */
#define LATER 2

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
#define GUARD(i) (3 + (i))
#define WRITER 6
#define FREE 255

/* ---- signals in a guard's self-pipe ---- */
#define NONE 0
#define STRANGER 1
#define PARENT 2

byte list = one(U) + one(O);
byte holds = 0;
byte displaced = 0;
byte lock = FREE;

bool appAlive[NAPP];    /* the application's pid exists (pids never reused) */
bool appKilled[NAPP];   /* SIGKILLed */
bool appDone[NAPP];
bool installed[NAPP];   /* begin has put S in (or found it), end not begun */
bool guardStarted[NAPP];
bool guardLeaving[NAPP]; /* woken: it has closed its readiness pipe */
bool guardKilled[NAPP]; /* SIGKILLed */
bool guardDone[NAPP];
byte sig[NAPP];         /* the first stop signal in the guard's pipe */
bool wasInstalled[NAPP]; /* begin installed: a stranger's signal may come from then on */
bool endFailed[NAPP];   /* its end did not have the lock: it exits, its hold left to its guard */
bool writerDone, strangerDone;
bool faultLeft[NAPP];   /* the session's one SIGKILL not yet used */

/* ---- ghosts, for the properties only ---- */
byte fresh = 0;         /* bit p: process p knows the current list (read it, or wrote it) */
byte pastBound = 0;     /* guards between going past the bound and the end of their retry */
byte outwaited = 0;     /* bit i: guard i went past the bound while the writer held the lock */
bool sByWriter = false; /* the writer's write put S in and no FnRemapKit write followed */
bool p3lost[NAPP];      /* the writer's write took S out while session i was installed */
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
#define p3(i) (!installed[i] || guardKilled[i] || guardDone[i] || sig[i] != NONE || p3lost[i] || cnt(list, S) > 0)
#define checkP3() require(3, pastBound > 0 || (p3(0) && p3(1) && p3(2)))

/* ---- the lock: KeyMappingLock::acquire ---- */
#ifndef NO_LOCK
#define TAKE lock == FREE -> lock = me
#define BUSY lock != FREE && lock != me
#define GIVE lock = FREE
#else
#define TAKE skip
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

/* ---- SIGKILL of application i, of its guard, or of both at once ---- */
#define guardRuns(i) (guardStarted[i] && !guardDone[i] && !guardKilled[i])
inline killApp(i) {
  appKilled[i] = true; appAlive[i] = false; installed[i] = false; appDone[i] = true;
  if
  :: !guardStarted[i] -> guardDone[i] = true
  :: else -> skip
  fi;
  printf("[%d] SIGKILL\n", APP(i));
  fresh = fresh & ~flag(APP(i));
  if
  :: lock == APP(i) -> lock = FREE /* the kernel drops its lock */
  :: else -> skip
  fi
}
inline killGuard(i) {
  guardKilled[i] = true; guardDone[i] = true;
  printf("[%d] SIGKILL\n", GUARD(i));
  fresh = fresh & ~flag(GUARD(i));
  if
  :: lock == GUARD(i) -> lock = FREE
  :: else -> skip
  fi
}

/* A SIGKILL is a step of the process killed, an alternative at each of its
   steps that others can see (one after a step only of its own locals is the
   same as one before it); the process then ends, its locals forgotten. An
   application's step may also kill its guard with it: the guard then leaves
   at its next step, before doing anything (its `unless`), as a SIGKILLed
   process takes no further step. */
#define APP_DIES                                                                 \
  :: d_step { faultLeft[i] -> faultLeft[i] = false; killApp(i); forgetApp() }; goto done \
  :: d_step { faultLeft[i] && guardRuns(i) -> faultLeft[i] = false; killApp(i); killGuard(i); forgetApp() }; goto done
#define GUARD_DIES                                                               \
  :: d_step { faultLeft[i] -> faultLeft[i] = false; killGuard(i) }

/* ---- the guard: FnGuard::runGuard ---- */
proctype Guard(byte i) {
  byte me = GUARD(i);
  byte l, n, lh, ld, j;
  byte d1; /* the retry: displaced once the merge-back is recorded */

  {
    /* ExitWatch::wait: the parent's exit, or a signal on the self-pipe; the
       guard closes its readiness pipe as it wakes, so that a begin that
       has not yet installed sees it is leaving */
    if
    :: sig[i] == PARENT -> printf("[%d] the parent's signal: quiet end\n", me); goto quiet /* endByDefaultAction */
#ifndef STRANGER_KILLS
    :: d_step { sig[i] == STRANGER || !appAlive[i] -> guardLeaving[i] = true }
#else
    :: sig[i] == STRANGER -> goto quiet
    :: d_step { !appAlive[i] -> guardLeaving[i] = true }
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
    :: d_step { putLedger(); giveAndForget() } /* KeyMappingLedger::save, then the unlock */
    GUARD_DIES
    fi;
    goto quiet;

late: /* ... or past it: Release::unlocked: the ledger peeked, never written, no repair */
    skip;
    if
    :: d_step {
         pastBound++;
         if
         :: lock == WRITER -> outwaited = outwaited | flag(i)
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
    :: d_step { putLedger(); giveAndForget(); pastBound--; printf("[%d] retry ended\n", me); checkP3() }
    GUARD_DIES
    fi
#else
    d_step { l = 0; n = 0 }
#endif
quiet:
    guardDone[i] = true
  } unless {
    /* SIGKILLed (by its own step, or with its application): it ends; what
       the kernel does at its death was done in the killing step. (A kill
       between its last step and this end would only add to what the
       properties exempt.) */
    guardKilled[i] -> d_step { l = 0; n = 0; lh = 0; ld = 0; j = 0; d1 = 0 }
  }
}

/* ---- an application with one session: FnRemapSession ---- */



/* ChildProcess::terminate (the parent's SIGTERM), then the exit */
inline terminateAndExit() {
  if
  :: sig[i] == NONE -> sig[i] = PARENT; printf("[%d] signals its guard\n", me)
  :: else -> skip
  fi;
  appAlive[i] = false; printf("[%d] exit\n", me); appDone[i] = true
}

proctype App(byte i) {
  byte me = APP(i);
  byte l, n, lh, ld, j;
#ifdef END_FROM_BEGIN_LIST
  byte original;
#endif
  /* the locals of a killed application are dead */
#ifdef END_FROM_BEGIN_LIST
#define forgetApp() l = 0; n = 0; lh = 0; ld = 0; j = 0; original = 0
#else
#define forgetApp() l = 0; n = 0; lh = 0; ld = 0; j = 0
#endif

  {
    /* FnRemapSession::beginOver: State::startGuard (Process::launchGuard:
       spawn, and the readiness report; a guard that ends before it reports
       is the same as one that ends right after it, which the check under
       the lock below finds) */
    if
    :: atomic { run Guard(i); guardStarted[i] = true }
    APP_DIES
    fi;

    /* KeyMappingLock::acquire; the guard still watching (State::guardWatching:
       it runs and its readiness pipe is open), checked under the lock: a
       guard that left before our hold is written would find nothing to
       remove and leave us unguarded. Then
       State::install: Holds::release (the repair), Holds::addHold,
       Holds::installing, all planned on what was read */
    if
    :: d_step {
         TAKE;
#ifndef NO_GUARD_CHECK
         if
         :: guardLeaving[i] || guardKilled[i] || guardDone[i] -> GIVE; j = 4
         :: else ->
#endif
           readAll();
#ifdef END_FROM_BEGIN_LIST
           original = l;
#endif
           planRelease(NAPP, false);
           if
           :: n != l -> j = 1 /* the repair's list goes first */
           :: else -> skip
           fi;
           displacing(ld, n);
           lh = lh | flag(i);
           l = n;
           if
           :: liveOther(lh, i) && cnt(n, S) > 0 -> skip
           :: else -> merging(l)
           fi
#ifndef NO_GUARD_CHECK
         fi
#endif
       }
#ifdef BEGIN_TIMEOUT
    :: BUSY -> goto beginFailed
#endif
    APP_DIES
    fi;
    if
    :: j == 4 -> j = 0; goto beginFailed /* "the guard ... ended before the remap was installed" */
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
      :: d_step { n = l; putList(); installed[i] = true; wasInstalled[i] = true; giveAndForget() } /* KeyMappingStore::write of merging */
      APP_DIES
      fi
    :: l == n ->
      if
      :: d_step { putLedger(); installed[i] = true; wasInstalled[i] = true; checkP3(); giveAndForget() } /* another's S stands */
      APP_DIES
      fi
    fi;

    /* the application runs; then FnRemapSession::end (State::end) */
#ifndef END_FROM_BEGIN_LIST
    /* State::release: the repair and our release planned at once */
    if
    :: d_step { TAKE; installed[i] = false; readAll(); planRelease(i, true); forgetUnchanged() }
#ifdef END_TIMEOUT
    :: BUSY -> endFailed[i] = true; goto leave /* end fails: the guard is kept for our exit */
#endif
    APP_DIES
    fi;
#ifndef DROP_HOLD_FIRST
    if
    :: n != l ->
      if
      :: d_step { putList(); l = 0; n = 0 } /* KeyMappingStore::write, its verify always passes here */
      APP_DIES
      fi
    :: n == l -> skip
    fi;
    /* KeyMappingLedger::save, the unlock, ChildProcess::terminate and the
       exit in one step: once our hold is gone no other process reads
       anything of ours but the guard's pipe and our pid's life, which the
       guard reads together */
    if
    :: d_step { putLedger(); giveAndForget(); terminateAndExit() }
    APP_DIES
    fi
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
         terminateAndExit()
       }
    APP_DIES
    fi
#endif
#else
    /* as before the ledger: restoring(current, ours, original), no ledger */
    if
    :: d_step {
         TAKE; installed[i] = false; readAll();
         n = without(l, S) + (original & (3 | (3 << (2 * W))));
         if
         :: cnt(original, S) > 0 -> n = n + one(S)
         :: else -> skip
         fi
       }
#ifdef END_TIMEOUT
    :: BUSY -> endFailed[i] = true; goto leave
#endif
    APP_DIES
    fi;
    if
    :: d_step { putList(); giveAndForget(); original = 0; terminateAndExit() }
    APP_DIES
    fi
#endif
    goto done;

beginFailed: /* nothing written; the state's destructor ends the guard */
    skip;
    if
    :: d_step { terminateAndExit() }
    APP_DIES
    fi;
    goto done;
leave:
    skip;
    if
    :: d_step { appAlive[i] = false; installed[i] = false; printf("[%d] exit\n", me); appDone[i] = true }
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
  :: d_step { n = list; printf("[6] list read\n") }; d_step { TAKE }; d_step { writerWrite(true) }
#endif
  fi;
  writerDone = true
}

/* ---- a stop signal from a stranger, to a guard still waiting ---- */
#ifdef STRANGER_EARLY
#define afterInstall(i) true
#else
#define afterInstall(i) wasInstalled[i]
#endif
#define waiting(i) (afterInstall(i) && guardStarted[i] && !guardLeaving[i] && !guardKilled[i] && !guardDone[i] && sig[i] == NONE)
active proctype Stranger() {
  if
  :: skip
#ifndef NO_STRANGER
  :: d_step { waiting(0) -> sig[0] = STRANGER; printf("stranger signals [3]\n") }
#ifdef STRANGER_BOTH
  :: d_step { waiting(1) -> sig[1] = STRANGER; printf("stranger signals [4]\n") }
#endif
#endif
  fi;
  strangerDone = true
}

/* the application ended without its own release (SIGKILLed, or its end
   failed on the lock) and its guard was SIGKILLed: nobody is left to
   remove S but the next session's repair */
#define bothKilled(i) ((appKilled[i] || endFailed[i]) && guardKilled[i])
#define userPart(l) without(l, S)
#define p2ok (cnt(list, O) == 1 && cnt(list, U) + cnt(list, W) <= 1 && \
              (!intentKnown || lockless || holds != 0 || userPart(list) == intent))

/* the S in the list is the writer's: its write put it back and no FnRemapKit
   write came after, and no guard that went past the bound while the writer
   held the lock (and would retry once it was done) is left alive to do so */
#define writersOwn (sByWriter && (outwaited & ~((guardKilled[0] -> 1 : 0) | (guardKilled[1] -> 2 : 0))) == 0)

active proctype Check() {
  atomic {
    appAlive[0] = true; appAlive[1] = true;
#ifndef NO_FAULTS
    faultLeft[0] = true; faultLeft[1] = true;
#endif
    run App(0); run App(1)
  };
  /* a SIGKILLed process stays where it was, so pan runs with -E; a wait
     that no one can end is caught here instead */
  if
  :: appDone[0] && appDone[1] && guardDone[0] && guardDone[1] && writerDone && strangerDone
  :: timeout -> printf("stuck\n"); assert(false)
  fi;
  d_step {
    require(1, cnt(list, S) == 0 || bothKilled(0) || bothKilled(1) || writersOwn);
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
