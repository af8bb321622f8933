#!/usr/bin/env python3
"""Writes SQL that fills a pre record with plausible pres, for the sqlite3 shell.

    make_pres.py COUNT SITE | sqlite3 RECORD

RECORD must already be a record the program made (its schema, triggers and
trigram index). In one transaction: every row is deleted, COUNT done pres
are added, oldest first, over the last 180 days, and the record's creation
time is set back a year, so that the dupe check trusts it alone. The names
look like scene releases (films, episodes, albums, games) from a fixed
vocabulary, in 10 sections S01..S10 under SITE with their date folders;
about 1 in 200 is undone.

Three rows are always there, whatever COUNT: Dark.Tide.S01E01..03 of the
last week. No other name holds "tide", so "site dupe dark tide" finds
exactly those three, while "dark" alone is as common as any title word.
"""
import datetime
import random
import sys

WORDS = """
a after air all alone american angel angry animal apart army art ash autumn
baby back bad ball band bay bear beast before best big bird black blood blue
body bone book border born boy brave bread breaking bride bright broken
brother burn cabin call camp cave chain chance child city clean clear clock
cloud code cold color cook cool crash crazy cross crown cry cut dance dark
daughter dawn day dead deep desert devil diamond dirty doctor dog door down
dragon dream drive drop dust eagle earth east echo edge empire end enemy
escape eternal eye face faith fall family far farm fast fate father fear
fever field fight fire first fish flame flight flower fly forest forever
fox free friend frozen full game garden gate ghost giant girl glass gold
good grace grand grave gray great green ground guard gun half hand happy
hard harvest heart heat heaven heavy hell hero hidden high hill history
home honey horse hot hour house hunter ice iron island jack jade journey
judge jungle just kill king kiss knight lady lake land last late law
legend life light line lion little lonely long lord lost love lucky machine
magic man marble mark master memory metal midnight mind mirror money moon
mother mountain murder music new night noble north nothing ocean old one
open orange other outlaw paper paradise party past peace perfect pilot
planet play poison power prince prison promise queen quiet rain raven real
red rebel return river road rock rose royal run rush sacred saint salt
sand savage scar sea secret seven shadow shark shine ship shore short
silent silver sister sky sleep small smoke snow soldier son soul south
space speed spirit spring star steel stone storm strange street summer sun
sweet sword tale tear thunder tiger time tomorrow top tower town train
true truth twin under up valley velvet war water wave way west white wild
wind winter wolf woman world wrong year young zero
""".split()
GROUPS = """ACME BARGE CiNEFiLE DEFLATE DIMENSION DRONES EDITH FLAME GECKOS
HANDJOB iNTENSO KILLERS LOL MEMENTO NODLABS PLAZA RAPiDCOWS ROVERS SHORTBREHD
SKIDROW SPARKS TASTE TiMPE TOMBSTONE UNiVERSE VETO WATCHABLE XME YELLOWBiRD
ZZGtv""".split()
SECTIONS = ["S%02d" % i for i in range(1, 11)]
DATED = [3, 1, 2, 3, 1, 2, 3, 0, 1, 2]  # as the bench site's sections


def title(rng, words):
    return ".".join(w.capitalize() for w in rng.sample(WORDS, words))


def release(rng, group):
    kind = rng.random()
    year = rng.randint(1970, 2026)
    if kind < 0.45:
        return "%s.%d.%s.%s.%s-%s" % (
            title(rng, rng.randint(1, 4)), year, rng.choice(["720p", "1080p", "2160p"]),
            rng.choice(["BluRay", "WEB", "WEBRip", "HDTV"]),
            rng.choice(["x264", "x265", "H264", "HEVC"]), group)
    if kind < 0.80:
        return "%s.S%02dE%02d.%s.%s.%s-%s" % (
            title(rng, rng.randint(1, 3)), rng.randint(1, 12), rng.randint(1, 24),
            rng.choice(["720p", "1080p"]), rng.choice(["HDTV", "WEB"]),
            rng.choice(["x264", "H264"]), group)
    if kind < 0.95:
        artist = "_".join(w.capitalize() for w in rng.sample(WORDS, rng.randint(1, 3)))
        album = "_".join(w.capitalize() for w in rng.sample(WORDS, rng.randint(1, 4)))
        return "%s-%s-%s-%d-%s" % (artist, album, rng.choice(["WEB", "CD", "VINYL", "FLAC"]),
                                   year, group)
    return "%s%s-%s" % (title(rng, rng.randint(1, 3)),
                        rng.choice(["", ".v1.0.2", ".Update.v1.4", ".MULTi5"]), group)


def date_folder(section, when):
    kind = DATED[SECTIONS.index(section)]
    return ["", when.strftime("%m%d/"), when.strftime("%m-%d/"), when.strftime("%Y-%m-%d/")][kind]


def quote(text):
    return "'" + text.replace("'", "''") + "'"


def main():
    count, site = int(sys.argv[1]), sys.argv[2]
    rng = random.Random(29)
    now = datetime.datetime.now(datetime.timezone.utc)
    span = 180 * 24 * 3600.0
    times = sorted(rng.uniform(0, span) for _ in range(count))
    needles = {max(0, count - 1 - 3 * k): 3 - k for k in range(3)}
    print("BEGIN;")
    print("DELETE FROM pres;")
    print("UPDATE record_info SET created = %s;"
          % quote((now - datetime.timedelta(days=365)).strftime("%Y-%m-%dT%H:%M:%S.000Z")))
    for at, ago in enumerate(reversed(times)):
        when = now - datetime.timedelta(seconds=ago)
        group = rng.choice(GROUPS)
        section = rng.choice(SECTIONS)
        if at in needles:
            name = "Dark.Tide.S01E%02d.1080p.WEB.H264-%s" % (needles[at], group)
            when = now - datetime.timedelta(days=7 - needles[at])
        else:
            name = release(rng, group)
            while "tide" in name.lower():
                name = release(rng, group)
        files = rng.randint(5, 150)
        undone = ("'" + (when + datetime.timedelta(minutes=5)).strftime("%Y-%m-%dT%H:%M:%S.000Z")
                  + "'") if rng.random() < 0.005 and at not in needles else "NULL"
        print("INSERT INTO pres(release, release_key, group_name, section, path, folder_id, "
              "files, bytes, pre_time, unpre_time) VALUES (%s, %s, %s, %s, %s, %s, %d, %d, %s, %s);"
              % (quote(name), quote(name.lower()), quote(group), quote(section),
                 quote("%s/%s/%s%s" % (site, section, date_folder(section, when), name)),
                 quote("0000000000000803:%016x" % (1000000 + at)), files,
                 files * rng.randint(1000000, 50000000),
                 quote(when.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (when.microsecond // 1000)),
                 undone))
    print("COMMIT;")


if __name__ == "__main__":
    main()
