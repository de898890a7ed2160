/*
 * The root directory's protocol for one name, as the code in this folder
 * runs it, for SPIN to check over every interleaving and every crash.
 *
 * Each atomic step is one system call or lock operation of the real code,
 * and its comment names the function it models. What is modelled of the
 * file system: one name in the directory at the path, and in the one it
 * was before it was renamed away; the thing that stands at the name
 * (nothing, an entry file with its writer, or something that holds no
 * lock); link() never replaces; unlink() removes whatever stands at the
 * name. Assumed: the atomicity of link, unlink, rename and of one
 * ExamineName (its lstat, open and lock test taken as one step), the
 * release of every lock of a process that dies, and that F_NOTIFY raises its
 * signal for every removal from a watched directory. Not modelled: work
 * files, the directory's mark, more than one name, a directory at the name,
 * host failures (a full disk, no descriptors), a directory removed rather
 * than renamed, a file system mounted over it.
 *
 * Parties: two starts (three with -DTHREE_STARTS), each the whole of
 * CatalogReplacingStale (catalog, lookup, type, uncatalog, catalog again,
 * one attempt each) and, once registered, a holder that keeps its name
 * (KeepOwnNames) until it stops (removes its own name) or dies; where a live
 * entry stands at the outset, its holder, doing the same; one `rtroot clean`;
 * and one party outside the protocol that, once, at any moment, removes what
 * stands at the name or renames the directory away (or does nothing). Any
 * party may be killed at any step: its locks vanish, its entries stay. Every
 * wait for the change lock may give up instead (timed out, or SIGTERM).
 *
 * Checked:
 *  - without the outside party: every live holder's entry stands at the name
 *    (so there is at most one), and nothing unlinks a live entry but its
 *    owner, nor anything but what it examined;
 *  - with it too: a start fails only if one of its own calls on the name met
 *    a live holder's entry there, or its wait for the change lock gave up; a
 *    holder gives its name up only on the same grounds; and once every party
 *    has ended or holds its name with nothing left to notice, every live
 *    holder's entry stands at the name in the directory at the path: the
 *    directory settles back to one holder. What the outside party makes
 *    possible in between is shown by the runs: a stop (stat, then unlink) or
 *    a replacing start (examined, then unlinked) may remove a newer live
 *    entry, whose holder notices and puts it back.
 *
 * Mutants, each removing one protection (-D on spin's command line), and the
 * code before a change, each of which the check must find wrong:
 *   NO_CLAIM              a start never notes a claim on what is in its way
 *   NO_RECHECK            a cleaner removes what it saw, without looking again in the lock
 *   NO_CHANGE_LOCK        removals of ownerless things take no change lock
 *   NO_VANISHED_COUNT     a vanished ownerless thing is not counted as removed
 *   BEFORE_LOOKUP_FIX     a claimant's lookup of a free name fails
 *   WRITE_AGAIN_ONCE      a claimant writes its entry again once only, and
 *                         gives up where the name was freed under its look
 *   PUT_BACK_ONCE         a holder links, removes and links once, then gives up
 *   NO_PUT_BACK           a holder whose entry is removed does not put it back
 *   NO_PARENT_WATCH       the directory's parent is not watched
 *   WATCH_LOOKS_AT_NAMES  the first look after the watch is set misses a rename
 * and a witness that the windows are there: WINDOWS_CLOSED claims that no
 * live entry is ever removed but by its owner, even with the outside party.
 */

#ifdef THREE_STARTS
#define NS 3
#else
#define NS 2
#endif
#define CL (NS + 1)
#define HO (NS + 2)
#define NPROC (NS + 3)
#define VANISHED 255
/* What can stand at the name: 0 nothing; an entry, as its writer's number, 8
   more for every other one it writes, 16 more in the directory made again;
   STALE, an entry whose writer is long gone; OTHER, what holds no lock. */
#define STALE 7
#define OTHER 15
#define ownerOf(x) ((x) & 7)

#define RUNNING 0
#define IDLE 1   /* a holder with nothing to notice */
#define DONE 2

byte dirAt = 1;         /* the directory at the path: 0 none (renamed away), else its generation */
byte gens = 1;
byte at[3];             /* what stands at the name in each generation's directory: 0 nothing, else a thing's id */
byte chg[3];            /* who holds each directory's change lock */
bool alive[8];
byte entryOf[NPROC];    /* the entry a process holds open and locked as its own */
byte newOf[NPROC];      /* the entry it is writing, open and locked, not yet its own */
byte dirOf[NPROC];      /* the directory it has open */
bool claimNote[NPROC];  /* NameNotes: it replaces what has no live owner at the name */
bool ownerlessNote[NPROC];  /* NameNotes: it found the name's thing ownerless */
bool watching[NPROC];
bool pending[NPROC];    /* a removal signal waits */
byte phase[NPROC];
bool outsideActed = false;
bool outsideDone = false;

/* ghosts: what the properties are read from */
bool liveSeen[NPROC];
bool gaveUp[NPROC];
bool failedUnseen = false;
bool lostUnseen = false;
bool liveRemoved = false;
bool wrongRemoved = false;

#define isLive(x) ((x) != 0 && (x) != VANISHED && (x) != OTHER && alive[ownerOf(x)] && \
                   (entryOf[ownerOf(x)] == (x) || newOf[ownerOf(x)] == (x)))
#define isEntry(x) ((x) != 0 && (x) != VANISHED && (x) != OTHER)
/* A new entry of p's in directory d: never the number of the one it holds. */
#define newEntry(p, d) (((entryOf[p] & 23) == (p) + 16 * ((d) - 1)) -> (entryOf[p] ^ 8) : ((p) + 16 * ((d) - 1)))
#define holderOk(p) (!(entryOf[p] != 0 && alive[p]) || (dirOf[p] == dirAt && at[dirAt] == entryOf[p]))
#define quiet(p) (phase[p] == DONE || (phase[p] == IDLE && !pending[p]))
#if NS == 3
#define allHoldersOk (holderOk(1) && holderOk(2) && holderOk(3) && holderOk(HO))
#define allQuiet (quiet(1) && quiet(2) && quiet(3) && quiet(HO) && phase[CL] == DONE && outsideDone)
#else
#define allHoldersOk (holderOk(1) && holderOk(2) && holderOk(HO))
#define allQuiet (quiet(1) && quiet(2) && quiet(HO) && phase[CL] == DONE && outsideDone)
#endif

/* A call of p's on the name: a live holder's entry stands there, p has met it. */
inline touch(p, d) {
    if :: isLive(at[d]) -> liveSeen[p] = 1 :: else fi
}

/* The operating system signals a removal from directory d to whoever watches it. */
inline notify(d) {
    q = 1;
    do
    :: q < NPROC -> if :: watching[q] && dirOf[q] == d -> pending[q] = 1 :: else fi; q++
    :: else -> break
    od
}

/* The removal itself, judged by what it was to remove. */
inline unlinkExamined(p, d, examined) {
    if :: at[d] != examined -> wrongRemoved = 1 :: else fi;
    if :: isLive(at[d]) && ownerOf(at[d]) != p -> liveRemoved = 1 :: else fi;
    at[d] = 0;
    notify(d)
}

/* The process dies here: the operating system lets go of its locks. */
inline die(p) {
    alive[p] = 0; phase[p] = DONE; pending[p] = 0; entryOf[p] = 0; newOf[p] = 0; dirOf[p] = 0;
    claimNote[p] = 0; ownerlessNote[p] = 0; watching[p] = 0; liveSeen[p] = 0; gaveUp[p] = 0;
    if :: chg[1] == p -> chg[1] = 0 :: else fi;
    if :: chg[2] == p -> chg[2] = 0 :: else fi
}

inline mayDie(p) {
    if
    :: atomic { die(p); goto dead }
    :: skip
    fi
}

/* Waits for the change lock, or gives up: held too long elsewhere, or SIGTERM. */
#ifndef NO_CHANGE_LOCK
#define takeChangeLock(p, d, giveUp) \
    if \
    :: atomic { chg[d] == 0 -> chg[d] = p } \
    :: atomic { gaveUp[p] = 1; newOf[p] = 0 }; goto giveUp \
    fi
#else
#define takeChangeLock(p, d, giveUp) skip
#endif

inline dropChangeLock(p, d) {
    if :: chg[d] == p -> chg[d] = 0 :: else fi
}

proctype Start(byte p) {
    byte d, e, h, q, examined, ret;
#ifdef WRITE_AGAIN_ONCE
    byte writes;
#endif
#ifdef PUT_BACK_ONCE
    bool second;
#endif
    if
    :: p == HO -> d = 1; goto keeping
    :: else
    fi;
    /* KernelState::Root -> RootDirectory::Open: made where none stands */
    atomic { if :: dirAt == 0 -> gens++; dirAt = gens :: else fi; d = dirAt; dirOf[p] = d }
    mayDie(p);
    ret = 1;
catalog:
#ifdef WRITE_AGAIN_ONCE
    writes = 0;
writeAgain:
    writes++;
#endif
    /* Catalog -> WriteAndLink -> CreateLockedEntry: written and locked before it has a name */
    atomic { e = newEntry(p, d); newOf[p] = e }
    mayDie(p);
    /* WriteAndLink -> LinkEntry: link() never replaces */
    atomic { touch(p, d); if :: at[d] == 0 -> at[d] = e; entryOf[p] = e; newOf[p] = 0; goto linked :: else fi }
    mayDie(p);
    /* LinkOrClaim -> TakeChangeLock */
    takeChangeLock(p, d, notLinked);
    mayDie(p);
    /* LinkOrClaim -> LinkEntry, in the lock */
    atomic {
        touch(p, d);
        if :: at[d] == 0 -> at[d] = e; entryOf[p] = e; newOf[p] = 0; dropChangeLock(p, d); goto linked :: else fi
    }
    mayDie(p);
    /* LinkOrClaim: the entry is closed; ExamineName */
    atomic {
        newOf[p] = 0;
        touch(p, d);
        examined = at[d];
        if
        :: at[d] == 0 ->
            dropChangeLock(p, d);   /* freed since the link: written again */
#ifdef WRITE_AGAIN_ONCE
            goto notLinked
#else
            goto catalog
#endif
        :: at[d] != 0 && isLive(at[d]) -> dropChangeLock(p, d); claimNote[p] = 0; goto notLinked
        :: at[d] != 0 && !isLive(at[d]) && !claimNote[p] ->
#ifndef NO_CLAIM
            claimNote[p] = 1;
#endif
            ownerlessNote[p] = 1; dropChangeLock(p, d); goto notLinked
        :: else
        fi
    }
    mayDie(p);
    /* ClearOrClaim -> unlinkat in the same hold, and the entry written again */
    atomic { unlinkExamined(p, d, examined); dropChangeLock(p, d) }
#ifdef WRITE_AGAIN_ONCE
    if :: writes < 2 -> goto writeAgain :: else -> goto notLinked fi;
#else
    goto catalog;
#endif

linked:
    if
    :: ret == 3 -> goto putBack
    :: else
    fi;
    mayDie(p);
    /* Catalog: notes forgotten; WatchForRemovals: F_NOTIFY on the directory and its parent,
       then one look for a removal or a rename that came before the watch */
    atomic {
        claimNote[p] = 0; ownerlessNote[p] = 0; watching[p] = 1; phase[p] = IDLE;
#ifndef WATCH_LOOKS_AT_NAMES
        if :: at[d] != entryOf[p] || dirAt != d -> pending[p] = 1 :: else fi
#else
        if :: at[d] != entryOf[p] -> pending[p] = 1 :: else fi
#endif
    }
keeping:
    do
    :: atomic { pending[p] -> pending[p] = 0; phase[p] = RUNNING; liveSeen[p] = 0; gaveUp[p] = 0 }; goto keepOwnNames
    :: atomic { phase[p] = RUNNING }; goto stop
    :: atomic { die(p) }; goto dead
    od;

keepOwnNames:
    /* KeepOwnNames -> AllInPlace: the directory at the path is this one, and the entry stands */
    atomic { if :: dirAt == d && at[d] == entryOf[p] -> phase[p] = IDLE; goto keeping :: else fi }
#ifdef NO_PUT_BACK
    atomic { phase[p] = IDLE }; goto keeping;
#endif
    mayDie(p);
    /* DirectoryStillStands; MakeDirectoryAgain: Open, made where none stands, and watched */
    atomic { if :: dirAt != d -> if :: dirAt == 0 -> gens++; dirAt = gens :: else fi; d = dirAt; dirOf[p] = d :: else fi }
    mayDie(p);
    /* KeepName -> PutBack: the name is this process's own to replace */
    claimNote[p] = 1;
    ret = 3;
#ifndef PUT_BACK_ONCE
    goto catalog;
#else
    second = 0;
    atomic { e = newEntry(p, d); newOf[p] = e }
putBackLink:
    mayDie(p);
    atomic { touch(p, d); if :: at[d] == 0 -> at[d] = e; entryOf[p] = e; newOf[p] = 0; goto putBack :: else fi }
    if :: second -> goto notLinked :: else -> second = 1 fi;
    mayDie(p);
    takeChangeLock(p, d, notLinked);
    mayDie(p);
    atomic {
        touch(p, d); examined = at[d];
        if
        :: at[d] == 0 -> dropChangeLock(p, d); goto putBackLink
        :: at[d] != 0 && isLive(at[d]) -> dropChangeLock(p, d); goto notLinked
        :: else
        fi
    }
    mayDie(p);
    atomic { unlinkExamined(p, d, examined); dropChangeLock(p, d) };
    goto putBackLink;
#endif
putBack:
    atomic { claimNote[p] = 0; phase[p] = IDLE };
    goto keeping;

stop:
    /* Uncatalog -> RemoveOwn -> StatEntry: the name still stands for its own entry */
    atomic { if :: at[d] != entryOf[p] -> goto stopped :: else fi }
    mayDie(p);
    /* RemoveOwn -> unlinkat, without the change lock */
    atomic { unlinkExamined(p, d, entryOf[p]); die(p); goto dead }
stopped:
    atomic { die(p); goto dead }

notLinked:
    if
    :: ret == 1 -> skip
    :: ret == 2 -> goto failed
    :: ret == 3 ->
        /* KeepName: lost to a live holder, or the lock wait gave up: the holder ends in order */
        atomic {
            if :: !liveSeen[p] && !gaveUp[p] -> lostUnseen = 1 :: else fi;
            die(p); goto dead
        }
    fi;
    mayDie(p);
    /* LookupRtHandle -> LookupOnce -> ExamineName; free but claimed: the vanished thing */
    atomic {
        touch(p, d);
        if
#ifndef BEFORE_LOOKUP_FIX
        :: at[d] == 0 && claimNote[p] -> h = VANISHED; ownerlessNote[p] = 1
        :: at[d] == 0 && !claimNote[p] -> goto failed
#else
        :: at[d] == 0 -> goto failed
#endif
        :: at[d] != 0 && isLive(at[d]) -> h = at[d]; claimNote[p] = 0
        :: at[d] != 0 && !isLive(at[d]) -> h = at[d]; ownerlessNote[p] = 1
        fi
    }
    mayDie(p);
    /* GetRtHandleType -> RootEntry::LiveType: the same file, still named, its lock held */
    atomic { touch(p, d); if :: at[d] == h && isLive(h) -> goto failed :: else fi }
    mayDie(p);
    /* UncatalogRtHandle -> Uncatalog -> RemoveOwnerless -> TakeChangeLock */
    takeChangeLock(p, d, failed);
    mayDie(p);
    /* RemoveOwnerless -> ExamineName, in the lock; unclaimed, only a dead entry goes */
    atomic {
        touch(p, d);
        examined = at[d];
        if
        :: at[d] == 0 ->
            dropChangeLock(p, d);
#ifndef NO_VANISHED_COUNT
            if :: ownerlessNote[p] -> goto catalogAgain :: else -> goto failed fi
#else
            goto failed
#endif
        :: at[d] != 0 && (isLive(at[d]) || (!claimNote[p] && !isEntry(at[d]))) -> dropChangeLock(p, d); goto failed
        :: else
        fi
    }
    mayDie(p);
    /* RemoveOwnerless -> unlinkat, in the same hold */
    atomic { unlinkExamined(p, d, examined); ownerlessNote[p] = 0; dropChangeLock(p, d) }
catalogAgain:
    mayDie(p);
    /* CatalogRtHandle again */
    ret = 2;
    goto catalog;

failed:
    atomic {
        if :: !liveSeen[p] && !gaveUp[p] -> failedUnseen = 1 :: else fi;
        die(p)
    }
dead:
    atomic { d = 0; e = 0; h = 0; q = 0; examined = 0; ret = 0 }
}

/* rtroot clean, unasked: only an entry whose writer has died. */
proctype Cleaner() {
    byte d, seen, examined, q;
    /* RootDirectory::OpenExisting: no directory at the path, nothing to clean */
    atomic { if :: dirAt == 0 -> goto dead :: else -> d = dirAt fi }
    mayDie(CL);
    /* CleanUnasked -> Describe -> ExamineName, without the lock */
    atomic { seen = at[d]; if :: !isEntry(seen) || isLive(seen) -> goto dead :: else fi }
    mayDie(CL);
    /* RootDirectory::Clean -> RemoveOwnerless -> TakeChangeLock */
    takeChangeLock(CL, d, dead);
    mayDie(CL);
    /* RemoveOwnerless -> ExamineName, in the lock: live, or no dead entry is left */
    atomic {
#ifndef NO_RECHECK
        examined = at[d];
        if
        :: !isEntry(at[d]) || isLive(at[d]) -> dropChangeLock(CL, d); goto dead
        :: else
        fi
#else
        examined = seen
#endif
    }
    mayDie(CL);
    /* RemoveOwnerless -> unlinkat, in the same hold */
    atomic { unlinkExamined(CL, d, examined); dropChangeLock(CL, d) }
dead:
    atomic { phase[CL] = DONE; alive[CL] = 0; d = 0; seen = 0; examined = 0 }
}

/* A hand, or a cleaner of /tmp, outside the protocol: once, at any moment. */
proctype Outside() {
    byte d, q;
    if
#ifndef OUTSIDE_RENAMES_ONLY
    :: atomic { dirAt != 0 && at[dirAt] != 0 -> d = dirAt; at[d] = 0; notify(d); outsideActed = 1 }  /* rm DIR/NAME */
#endif
#ifndef OUTSIDE_REMOVES_ONLY
    :: atomic {
            dirAt != 0 -> dirAt = 0;                                                              /* mv DIR DIR.old */
#ifndef NO_PARENT_WATCH
            q = 1;
            do
            :: q < NPROC -> if :: watching[q] -> pending[q] = 1 :: else fi; q++
            :: else -> break
            od;
#endif
            outsideActed = 1
        }
#endif
    :: skip
    fi;
    atomic { outsideDone = 1; d = 0; q = 0 }
}

init {
    atomic {
        alive[1] = 1; alive[2] = 1; alive[CL] = 1;
#if NS == 3
        alive[3] = 1;
#endif
        phase[HO] = DONE;
        if
        :: skip                                                  /* nothing */
        :: at[1] = STALE                                         /* a stale entry */
        :: at[1] = OTHER                                         /* damaged, a symlink, a FIFO... */
        :: at[1] = HO;                                           /* live, its holder watching */
            alive[HO] = 1; entryOf[HO] = HO; dirOf[HO] = 1; watching[HO] = 1; phase[HO] = IDLE;
            run Start(HO)
        fi;
        run Start(1); run Start(2);
#if NS == 3
        run Start(3);
#endif
#ifndef NO_CLEANER
        run Cleaner();
#else
        phase[CL] = DONE; alive[CL] = 0;
#endif
#if defined(OUTSIDE_REMOVES_ONLY) || defined(OUTSIDE_RENAMES_ONLY) || defined(OUTSIDE)
        run Outside()
#else
        outsideDone = 1
#endif
    }
}

/* The properties, each watched at every step by a process of its own. */
active proctype EveryLiveHolderSEntryStandsUnlessAnOutsiderActed() {
end:
    atomic { !(outsideActed || allHoldersOk) -> assert(outsideActed || allHoldersOk) }
}

active proctype OnlyItsOwnerRemovesALiveEntryAndNothingButWhatWasExaminedGoesUnlessAnOutsiderActed() {
end:
#ifndef WINDOWS_CLOSED
    atomic { !outsideActed && (liveRemoved || wrongRemoved) -> assert(outsideActed || (!liveRemoved && !wrongRemoved)) }
#else
    /* A witness, not a mutant: that the outside party does open the windows */
    atomic { liveRemoved -> assert(!liveRemoved) }
#endif
}

active proctype AStartFailsOrAHolderGivesUpOnlyBesideALiveHolderItMet() {
end:
    atomic { (failedUnseen || lostUnseen) -> assert(!failedUnseen && !lostUnseen) }
}

active proctype OnceAllIsQuietEveryLiveHolderSEntryStandsAtThePath() {
end:
    atomic { allQuiet && !allHoldersOk -> assert(!allQuiet || allHoldersOk) }
}
