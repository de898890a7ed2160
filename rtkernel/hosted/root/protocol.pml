/*
 * The root directory's protocol for one name, as the code in this folder
 * runs it, for SPIN to check over every interleaving and every crash.
 *
 * Each atomic step is one system call or lock operation of the real code,
 * and its comment names the function it models. What is modelled of the
 * file system: one name, and the thing that stands at it (nothing, an entry
 * file with its writer, or something that holds no lock); link() never
 * replaces; unlink() removes whatever stands at the name. Their own atomicity
 * is assumed, as is the operating system's release of every lock of a process
 * that dies. Not modelled: work files, the directory's mark, more than one
 * name, removals from outside the protocol (a hand, a cleaner of /tmp).
 *
 * Parties: two starts (the whole of CatalogReplacingStale: catalog, lookup,
 * type, uncatalog, catalog again, one attempt each), one `rtroot clean`, and,
 * where a live entry stands at the outset, its holder, which stops (removes
 * its own name). Any party may be killed at any step: its locks and claim
 * vanish, its entry stays.
 *
 * Checked: at most one live holder, whose entry stands at the name; nothing
 * unlinks a live entry but its owner, nor anything but what it examined; a
 * start fails only if a live holder existed at some moment of its attempt;
 * no deadlock; once every party has ended, the name holds nothing, the thing
 * placed at the outset, a holder's live entry, or a dead entry.
 *
 * Mutants, each removing one protection (-D on spin's command line):
 *   NO_CLAIM            a start never claims what is in its way
 *   NO_RECHECK          a cleaner removes what it saw, without looking again in the lock
 *   NO_CHANGE_LOCK      removals of ownerless things take no change lock
 *   NO_VANISHED_COUNT   a vanished ownerless thing is not counted as removed
 *   BEFORE_LOOKUP_FIX   a claimant's lookup of a free name fails (the code before this check)
 */

#define S1 1
#define S2 2
#define CL 3
#define HO 4
#define NPROC 5
#define LINK_ATTEMPTS 2
#define VANISHED 255

#define ENTRY 1
#define OTHER 2

byte at = 0;            /* what stands at the name: 0 nothing, else a thing's id */
byte nextId = 2;        /* id 1 is what stands at the outset */
byte initial = 0;
byte kindOf[8];         /* ENTRY or OTHER */
byte ownerOf[8];        /* the process that wrote an entry; 0: its writer is long gone */
bool alive[NPROC];
byte entryOf[NPROC];
byte chg = 0;           /* who holds the change lock */
bool claim[NPROC];
byte ended = 0;

/* ghosts: what the properties are read from */
bool holds[NPROC];
bool liveSeen[NPROC];
bool failedWithoutLive = false;
bool liveRemoved = false;
bool wrongRemoved = false;

#define isLive(x) ((x) != 0 && (x) != VANISHED && kindOf[x] == ENTRY && ownerOf[x] != 0 && alive[ownerOf[x]])
#define claimedByAnother(p) ((claim[S1] && p != S1) || (claim[S2] && p != S2))
#define holderOk(p) (!(holds[p] && alive[p]) || at == entryOf[p])
#define endOk (at == 0 || at == initial || kindOf[at] == ENTRY)

/* Every start's attempt sees a live holder the moment one links. */
inline noteLinked() {
    liveSeen[S1] = 1;
    liveSeen[S2] = 1
}

/* The process dies here: the operating system lets go of its locks. */
inline mayDie(p) {
    if
    :: atomic { alive[p] = 0; claim[p] = 0; if :: chg == p -> chg = 0 :: else fi; goto dead }
    :: skip
    fi
}

/* The removal itself, judged by what it was to remove. */
inline unlinkExamined(p, examined) {
    if :: at != examined -> wrongRemoved = 1 :: else fi;
    if :: isLive(at) && ownerOf[at] != p -> liveRemoved = 1 :: else fi;
    at = 0
}

inline takeChangeLock(p) {
#ifndef NO_CHANGE_LOCK
    atomic { chg == 0 -> chg = p }
#else
    skip
#endif
}

inline dropChangeLock(p) {
    if :: chg == p -> chg = 0 :: else fi
}

proctype Start(byte self) {
    byte e, h, examined, left;
    bool sawOwnerless = false;
    /* CreateLockedEntry: written and locked before it has a name */
    atomic {
        e = nextId; nextId++; kindOf[e] = ENTRY; ownerOf[e] = self; entryOf[self] = e;
        if :: isLive(at) -> liveSeen[self] = 1 :: else fi
    }
    mayDie(self);
    /* Catalog -> LinkEntry: link() never replaces */
    atomic { if :: at == 0 -> at = e; holds[self] = 1; noteLinked(); goto registered :: else fi }
    mayDie(self);
    /* LinkOrClaim -> TakeChangeLock */
    atomic { chg == 0 -> chg = self }
    left = LINK_ATTEMPTS;
retry:
    mayDie(self);
    /* LinkOrClaim -> LinkEntry, inside the lock */
    atomic { if :: at == 0 -> at = e; holds[self] = 1; noteLinked(); chg = 0; goto registered :: else fi }
    mayDie(self);
    /* LinkOrClaim -> StatEntry: freed by its live owner meanwhile, so link again */
    if
    :: atomic { at == 0 && left > 0 -> left--; liveSeen[self] = 1 }; goto retry
    :: else
    fi;
    mayDie(self);
    /* LinkOrClaim -> ExamineName; ownerless: NameNotes::Claim, NoteOwnerless */
    atomic {
        if
        :: at != 0 && !isLive(at) ->
#ifndef NO_CLAIM
            claim[self] = 1;
#endif
            sawOwnerless = 1
        :: else -> claim[self] = 0; liveSeen[self] = 1  /* live, or removed this instant by its live owner */
        fi
    }
    mayDie(self);
    /* LinkOrClaim: the ChangeLock goes out of scope */
    atomic { chg = 0 }
    mayDie(self);
    /* LookupRtHandle -> LookupOnce -> ExamineName; free but claimed: the vanished thing */
    atomic {
        if
#ifndef BEFORE_LOOKUP_FIX
        :: at == 0 && claim[self] -> h = VANISHED; sawOwnerless = 1
        :: at == 0 && !claim[self] -> goto failed
#else
        :: at == 0 -> goto failed
#endif
        :: at != 0 && isLive(at) -> h = at; claim[self] = 0; liveSeen[self] = 1
        :: at != 0 && !isLive(at) -> h = at; sawOwnerless = 1
        fi
    }
    mayDie(self);
    /* GetRtHandleType -> RootEntry::LiveType: the same file, still named, its lock held */
    atomic { if :: at == h && isLive(h) -> liveSeen[self] = 1; goto failed :: else fi }
    mayDie(self);
    /* UncatalogRtHandle -> Uncatalog -> RemoveOwnerless -> TakeChangeLock */
    takeChangeLock(self);
    mayDie(self);
    /* RemoveOwnerless -> ExamineName, inside the lock */
    atomic {
        examined = at;
        if
        :: at == 0 ->
#ifndef NO_VANISHED_COUNT
            if :: sawOwnerless -> dropChangeLock(self); goto relink :: else -> goto failed fi
#else
            goto failed
#endif
        :: at != 0 && isLive(at) -> liveSeen[self] = 1; goto failed
        :: at != 0 && !isLive(at) && !claim[self] && claimedByAnother(self) -> goto failed
        :: at != 0 && !isLive(at) && !claim[self] && !claimedByAnother(self) && kindOf[at] != ENTRY -> goto failed
        :: else
        fi
    }
    mayDie(self);
    /* RemoveOwnerless -> unlinkat */
    atomic { unlinkExamined(self, examined) }
    mayDie(self);
    /* RemoveOwnerless: the ChangeLock goes out of scope */
    atomic { dropChangeLock(self) }
relink:
    mayDie(self);
    /* CatalogRtHandle again -> TryCatalog -> LinkEntry */
    atomic { if :: at == 0 -> at = e; holds[self] = 1; noteLinked(); goto registered :: else fi }
    mayDie(self);
    /* LinkOrClaim -> TakeChangeLock */
    atomic { chg == 0 -> chg = self }
    mayDie(self);
    /* LinkOrClaim -> ExamineName: what has no live owner in the way of the name it claimed goes */
    atomic {
        examined = at;
        if
        :: at == 0 -> liveSeen[self] = 1; goto failed  /* removed this instant by its live owner */
        :: at != 0 && isLive(at) -> liveSeen[self] = 1; goto failed
        :: at != 0 && !isLive(at) && !claim[self] -> goto failed
        :: else
        fi
    }
    mayDie(self);
    /* LinkOrClaim -> unlinkat, in the same hold */
    atomic { unlinkExamined(self, examined) }
    mayDie(self);
    /* LinkOrClaim: the ChangeLock goes out of scope */
    atomic { dropChangeLock(self) }
    mayDie(self);
    /* Catalog -> TryCatalog once more -> LinkEntry */
    atomic { if :: at == 0 -> at = e; holds[self] = 1; noteLinked(); goto registered :: else -> goto failed fi }
failed:
    atomic {
        if :: !liveSeen[self] -> failedWithoutLive = 1 :: else fi;
        dropChangeLock(self); claim[self] = 0
    }
registered:
    claim[self] = 0;
dead:
    ended++
}

/* rtroot clean, unasked: only an entry whose writer has died. */
proctype Cleaner() {
    byte seen, examined;
    mayDie(CL);
    /* CleanUnasked -> Describe -> ExamineName, without the lock */
    atomic { seen = at; if :: seen == 0 || isLive(seen) || kindOf[seen] != ENTRY -> goto dead :: else fi }
    mayDie(CL);
    /* RootDirectory::Clean -> RemoveOwnerless -> TakeChangeLock */
    takeChangeLock(CL);
    mayDie(CL);
    /* RemoveOwnerless -> ExamineName, inside the lock: claimed, live, or no dead entry is left */
    atomic {
#ifndef NO_RECHECK
        examined = at;
        if
        :: at == 0 || claimedByAnother(CL) || isLive(at) || kindOf[at] != ENTRY -> dropChangeLock(CL); goto dead
        :: else
        fi
#else
        examined = seen
#endif
    }
    mayDie(CL);
    /* RemoveOwnerless -> unlinkat */
    atomic { unlinkExamined(CL, examined) }
    mayDie(CL);
    atomic { dropChangeLock(CL) }
dead:
    ended++
}

/* The holder of the live entry placed at the outset, stopping. */
proctype Holder() {
    mayDie(HO);
    /* RemoveOwn -> StatEntry: the name still stands for its own entry */
    atomic { if :: at != entryOf[HO] -> holds[HO] = 0; goto dead :: else fi }
    mayDie(HO);
    /* RemoveOwn -> unlinkat, without the change lock */
    atomic { unlinkExamined(HO, entryOf[HO]); holds[HO] = 0 }
dead:
    ended++
}

init {
    byte parties = 3;
    atomic {
        alive[S1] = 1; alive[S2] = 1; alive[CL] = 1; alive[HO] = 1;
        if
        :: skip                                                  /* nothing */
        :: kindOf[1] = ENTRY; ownerOf[1] = 0; at = 1            /* a stale entry */
        :: kindOf[1] = OTHER; at = 1                            /* damaged, a symlink, a FIFO... */
        :: kindOf[1] = ENTRY; ownerOf[1] = HO; entryOf[HO] = 1; holds[HO] = 1; at = 1; parties = 4  /* live */
        fi;
        initial = at;
        run Start(S1); run Start(S2); run Cleaner();
        if :: parties == 4 -> run Holder() :: else fi
    }
    (ended == parties);
    assert(endOk)
}

/* The properties, each watched at every step by a process of its own. */
active proctype AtMostOneHolderAndItsEntryStands() {
end:
    atomic { !(holderOk(S1) && holderOk(S2) && holderOk(HO)) -> assert(holderOk(S1) && holderOk(S2) && holderOk(HO)) }
}

active proctype OnlyItsOwnerRemovesALiveEntryAndNothingButWhatWasExaminedGoes() {
end:
    atomic { (liveRemoved || wrongRemoved) -> assert(!liveRemoved && !wrongRemoved) }
}

active proctype AStartFailsOnlyBesideALiveHolder() {
end:
    atomic { failedWithoutLive -> assert(!failedWithoutLive) }
}
