/*
 * The install and remove protocol of FnRemapKit: sessions in several
 * applications, their guards, the lock with its bound, the ledger of holds,
 * an outside writer, and SIGKILL at any step. model/README.md says how each
 * step maps to the code, and what is left out.
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
 *   Faults(i)       may SIGKILL application i, its guard, or both, at any step
 *   Check           once all of those have finished: the end-state checks;
 *                   then App(2), a later session, and the checks once more
 *
 * Properties (each failure prints "broken: Pn" and fails an assertion)
 *   P1 once every application and guard has finished, no S in the list;
 *      except after an application and its guard were both SIGKILLed, and
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

/* the displaced entries once a merge drops the user's entries from l:
   those replace older ones (the user has set them since) */
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

/* x = FnRemapMapping::restoring(x, S, put): S out, then the entries of put */
inline restoring(x, put) {
  x = without(x, S);
  if
  :: has(put, U) -> add(x, U)
  :: else -> skip
  fi;
  if
  :: has(put, W) -> add(x, W)
  :: else -> skip
  fi
}

/* x = the list a release writes: restoring, with the displaced entries put
   back only while the list, less ours, holds no other entry for the source */
inline releasing(x, disp) {
  if
  :: fnFree(x) -> restoring(x, disp)
  :: else -> restoring(x, 0)
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
bool guardReady[NAPP];
bool guardLeaving[NAPP]; /* woken: it has closed its readiness pipe */
bool guardKilled[NAPP]; /* SIGKILLed */
bool guardDone[NAPP];
byte sig[NAPP];         /* the first stop signal in the guard's pipe */
bool writerDone, strangerDone;

/* ---- ghosts, for the properties only ---- */
byte fresh = 0;         /* bit p: process p has read the list since its last write */
byte pastBound = 0;     /* guards between going past the bound and the end of their retry */
bool outwaited = false; /* a guard went past the bound while the writer held the lock */
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
#define anyLive(h) (liveAt(h, 0) || liveAt(h, 1) || liveAt(h, 2))

/* P3 for session i */
#define p3(i) (!installed[i] || guardKilled[i] || guardDone[i] || sig[i] != NONE || p3lost[i] || cnt(list, S) > 0)
#define checkP3() require(3, pastBound > 0 || (p3(0) && p3(1) && p3(2)))

/* ---- the steps every writer shares ---- */

/* KeyMappingStore::read */
inline readList() {
  d_step { l = list; fresh = fresh | flag(me); printf("[%d] list read\n", me) }
}

/* KeyMappingStore::write of n, by a FnRemapKit writer */
inline writeList() {
  d_step {
    require(4, pastBound > 0 || (fresh & flag(me)) != 0);
    list = n;
    printf("[%d] list write: U%d S%d W%d O%d\n", me, cnt(list, U), cnt(list, S), cnt(list, W), cnt(list, O));
    fresh = 0;
    sByWriter = false;
    checkP3()
  }
}

/* KeyMappingLedger::load (the file is replaced by rename: a read is whole) */
inline loadLedger() {
  d_step { lh = holds; ld = displaced; j = 0; printf("[%d] ledger read\n", me) }
}

/* KeyMappingLedger::save */
inline saveLedger() {
  d_step { holds = lh; displaced = ld; printf("[%d] ledger write: holds %d displaced %d\n", me, holds, displaced) }
}

/* KeyMappingLock::acquire: the lock, or (while someone else holds it) the
   2 s bound passes and we go to `late` */
#ifndef NO_LOCK
#define acquire(late)                                                                    \
  if                                                                                     \
  :: d_step { lock == FREE -> lock = me; printf("[%d] lock\n", me) }                    \
  :: lock != FREE && lock != me -> printf("[%d] lock: past the bound\n", me); goto late \
  fi
inline acquireWaiting() {
  d_step { lock == FREE -> lock = me; printf("[%d] lock\n", me) }
}
/* also forgets what it read: those copies are dead from here */
inline unlock() {
  d_step { lock == me -> lock = FREE; printf("[%d] unlock\n", me); l = 0; n = 0; lh = 0; ld = 0; j = 0 }
}
#else
#define acquire(late) skip
inline acquireWaiting() { skip }
inline unlock() { skip }
#endif

/* Holds::release of hold j, the caller's ledger in lh/ld: the list first,
   then (a second, separate write) the ledger */
inline dropHold(j) {
  d_step {
    lh = lh & ~flag(j);
    if
    :: lh == 0 -> ld = 0 /* no hold names the source */
    :: else -> skip
    fi
  };
  saveLedger() /* KeyMappingLedger::save */
}
inline restoreList(j) {
  if
  :: liveOther(lh, j) -> skip /* another live hold names S: the list stays */
  :: else ->
    readList();                   /* KeyMappingStore::read */
    d_step { n = l; releasing(n, ld) };
    writeList()                   /* KeyMappingStore::write of FnRemapMapping::restoring;
                                     its verify (a read) is left out: nothing
                                     that runs meanwhile puts S back */
  fi
}
inline release(j) {
#ifndef DROP_HOLD_FIRST
  restoreList(j);
  dropHold(j)
#else
  dropHold(j);
  restoreList(j)
#endif
}

/* Holds::repair: every hold whose application is gone is released */
inline repair() {
  do
  :: d_step {
       if
       :: has(lh, 0) && !appAlive[0] -> j = 0
       :: else -> if
         :: has(lh, 1) && !appAlive[1] -> j = 1
         :: else -> if
           :: has(lh, 2) && !appAlive[2] -> j = 2
           :: else -> j = NAPP
           fi
         fi
       fi
     };
     if
     :: j == NAPP -> j = 0; break
     :: else -> release(j)
     fi
  od
}

/* ---- the guard: FnGuard::runGuard ---- */
proctype Guard(byte i) {
  byte me = GUARD(i);
  byte l, n, lh, ld, j;

  {
    /* StopSignals installed, the exit watch registered, readiness reported */
    guardReady[i] = true;

    /* ExitWatch::wait: the parent's exit, or a signal on the self-pipe */
    if
    :: sig[i] == PARENT -> printf("[%d] the parent's signal: quiet end\n", me); goto quiet /* the parent's SIGTERM: default action */
#ifndef STRANGER_KILLS
    :: sig[i] == STRANGER || !appAlive[i] -> skip
#else
    :: sig[i] == STRANGER -> goto quiet
    :: !appAlive[i] -> skip
#endif
    fi;
    guardLeaving[i] = true; /* closes its readiness pipe: the session sees it is leaving */

    /* FnGuard::detail::releaseForGuard: the lock within its bound ... */
    acquire(late);
    loadLedger();
    repair();     /* Holds::repair: ends our own hold once our application is gone */
    release(i);   /* Holds::release of our own hold: list, verify, ledger */
    unlock();
    goto quiet;

late: /* ... or past it: read the ledger, never write it, no repair */
    skip;
    d_step {
      pastBound++;
      if
      :: lock == WRITER -> outwaited = true
      :: else -> skip
      fi
    };
    loadLedger();                   /* KeyMappingLedger::load, no lock */
    readList();                     /* KeyMappingStore::read, no lock */
    if
    :: !liveOther(lh, i) && cnt(l, S) > 0 ->
#ifndef BARE_LOCKLESS_REMOVAL
      /* the release's own write, with the displaced entries of the ledger
         it read: a release it races writes the same list */
      d_step { n = l; releasing(n, ld) };
#else
      n = without(l, S);
#endif
      lockless = true;
      writeList()                   /* KeyMappingStore::write, no lock */
    :: else -> skip                 /* kept for another live hold, or already gone */
    fi;
#ifndef NO_RETRY
    /* the retry: the lock, within 30 s (the holder resumes within them) */
    acquireWaiting();
    loadLedger();
    readList();
#ifndef RETRY_NO_MERGE
    /* merge back the entry of every other live hold the list lacks, by
       the install's rules: what the merge drops is displaced first */
    if
    :: liveOther(lh, i) && cnt(l, S) == 0 ->
      d_step { displacing(ld, l) };
      saveLedger();                 /* KeyMappingLedger::save */
      d_step { n = l; merging(n) };
      writeList()                   /* KeyMappingStore::write of FnRemapMapping::merging */
    :: else -> skip
    fi;
#endif
    repair();
    release(i);
    unlock();
#endif
    d_step { pastBound--; printf("[%d] retry ended\n", me); checkP3() };
quiet:
    skip
  } unless { guardKilled[i] };

  guardDone[i] = true
}

/* ---- an application with one session: FnRemapSession ---- */
proctype App(byte i) {
  byte me = APP(i);
  byte l, n, lh, ld, j;
#ifdef END_FROM_BEGIN_LIST
  byte original;
#endif

  {
    /* FnRemapSession::begin */
    /* Process::launchGuard: spawn, then wait for the readiness report */
    atomic { run Guard(i); guardStarted[i] = true };
    if
    :: guardReady[i] -> skip
    :: guardDone[i] -> goto leave /* the guard exited before it was watching */
    fi;

    acquire(beginFailed); /* KeyMappingLock::acquire */
#ifndef NO_GUARD_CHECK
    /* the guard still watching (its readiness pipe still open), checked
       under the lock: a guard that left before our hold is written would
       find nothing to remove and leave us unguarded */
    if
    :: guardLeaving[i] || guardKilled[i] || guardDone[i] -> unlock(); goto beginFailed
    :: else -> skip
    fi;
#endif
    loadLedger();
    repair();             /* Holds::repair */

    /* Holds::install: no conflict is possible (every hold names S); one
       ledger write: our hold, and every entry the merge drops is displaced */
    readList();
#ifdef END_FROM_BEGIN_LIST
    original = l;
#endif
    d_step { lh = lh | flag(i); displacing(ld, l) };
    saveLedger();         /* KeyMappingLedger::save */

    /* the list: KeyMappingStore::write of FnRemapMapping::merging, unless
       another live hold names S and the list holds it */
    if
    :: liveOther(lh, i) && cnt(l, S) > 0 -> d_step { installed[i] = true; checkP3() }
    :: else -> d_step { n = l; merging(n) }; atomic { writeList(); installed[i] = true }
    fi;
    unlock();

    /* the application runs; then FnRemapSession::end */
    acquire(leave); /* end fails: the guard is kept for our exit */
    installed[i] = false;
#ifndef END_FROM_BEGIN_LIST
    loadLedger();
    repair();       /* Holds::repair */
    release(i);     /* Holds::release, its verify, KeyMappingLedger::save */
#else
    /* as before: restoring(current, ours, original), no ledger */
    readList();
    d_step {
      n = without(l, S) + (original & (3 | (3 << (2 * W))));
      if
      :: cnt(original, S) > 0 -> n = n + one(S)
      :: else -> skip
      fi
    };
    writeList();
    readList();
#endif
    unlock();
    /* ChildProcess::terminate: the parent's SIGTERM (the verify, which
       would keep the guard, always passes here) */
    d_step {
      if
      :: sig[i] == NONE -> sig[i] = PARENT; printf("[%d] signals its guard\n", me)
      :: else -> skip
      fi
    };
    goto leave;

beginFailed: /* the lock not had within 2 s: nothing written, guard ended */
    skip;
    d_step {
      if
      :: sig[i] == NONE -> sig[i] = PARENT; printf("[%d] signals its guard\n", me)
      :: else -> skip
      fi
    };
leave:
    skip;
    d_step { appAlive[i] = false; installed[i] = false; printf("[%d] exit\n", me) }
  } unless { appKilled[i] };

  d_step {
    if
    :: !guardStarted[i] -> guardDone[i] = true
    :: else -> skip
    fi;
    appDone[i] = true
  }
}

/* ---- examples/keymap set ---- */
inline writerWrite(stale) {
  d_step {
    p3lost[0] = p3lost[0] || (installed[0] && cnt(n, S) == 0);
    p3lost[1] = p3lost[1] || (installed[1] && cnt(n, S) == 0);
    sByWriter = (cnt(list, S) == 0 && cnt(n, S) > 0 && !outwaited);
    if
    :: stale -> intentKnown = false /* a copy of some earlier list: the user's meaning is unknown */
    :: else -> intent = n
    fi;
    list = n;
    printf("[%d] list write: U%d S%d W%d O%d\n", me, cnt(list, U), cnt(list, S), cnt(list, W), cnt(list, O));
    fresh = 0
  }
}

active proctype Writer() {
  byte me = WRITER;
  byte l, n, lh, ld, j;
  if
  :: skip /* no outside write */
#ifndef NO_WRITER
  :: n = one(O) + one(W); acquireWaiting(); writerWrite(false); unlock() /* a new user Fn entry */
  :: d_step { n = list; printf("[6] list read\n") }; acquireWaiting(); writerWrite(true); unlock() /* a stale list */
#endif
  fi;
  writerDone = true
}

/* ---- a stop signal from a stranger ---- */
active proctype Stranger() {
  if
  :: skip
#ifndef NO_STRANGER
  :: d_step { guardReady[0] && sig[0] == NONE -> sig[0] = STRANGER; printf("stranger signals [3]\n") }
  :: d_step { guardReady[1] && sig[1] == NONE -> sig[1] = STRANGER; printf("stranger signals [4]\n") }
#endif
  fi;
  strangerDone = true
}

/* ---- SIGKILL of application i, of its guard, or of both ---- */
proctype Faults(byte i) {
  if
  :: skip
  :: d_step {
       appAlive[i] && !appKilled[i] ->
       appKilled[i] = true; appAlive[i] = false; installed[i] = false;
       printf("[%d] SIGKILL\n", APP(i));
       if
       :: lock == APP(i) -> lock = FREE /* the kernel drops its lock */
       :: else -> skip
       fi
     }
  fi;
  if
  :: skip
  :: d_step {
       guardStarted[i] && !guardDone[i] && !guardKilled[i] ->
       guardKilled[i] = true;
       printf("[%d] SIGKILL\n", GUARD(i));
       if
       :: lock == GUARD(i) -> lock = FREE
       :: else -> skip
       fi
     }
  fi
}

#define bothKilled(i) (appKilled[i] && guardKilled[i])
#define userPart(l) without(l, S)
#define p2ok (cnt(list, O) == 1 && cnt(list, U) + cnt(list, W) <= 1 && \
              (!intentKnown || lockless || holds != 0 || userPart(list) == intent))

active proctype Check() {
  atomic {
    appAlive[0] = true; appAlive[1] = true;
    run App(0); run App(1);
#ifndef NO_FAULTS
    run Faults(0); run Faults(1)
#endif
  };
  appDone[0] && appDone[1] && guardDone[0] && guardDone[1] && writerDone && strangerDone;
  d_step {
    require(1, cnt(list, S) == 0 || bothKilled(0) || bothKilled(1) || sByWriter);
    require(2, p2ok)
  };
  /* the later session: begins after all of them, ends normally */
  atomic { appAlive[LATER] = true; run App(LATER) };
  appDone[LATER] && guardDone[LATER];
  d_step {
    require(1, cnt(list, S) == 0);
    require(2, p2ok && holds == 0)
  }
}
