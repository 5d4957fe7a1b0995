#!/usr/bin/env python3
"""What each host did in one task of a run, from fleet_results' JSON file.

  results.py FILE TASK   prints "host:word" for every host, sorted, where word
                         is changed, ok, skipped, failed (with a last_error),
                         failed-without-last-error, or absent (no result)
  results.py FILE TASK warned   the hosts whose result carries a warning
TASK is the end of the task's name (a role's tasks are "<role> : <name>").
"""
import json
import sys


def main():
    path, task = sys.argv[1], sys.argv[2]
    with open(path) as f:
        tasks = json.load(f)
    hosts = {}
    for name, results in tasks.items():
        if name == task or name.endswith(' : ' + task):
            hosts.update(results)
    if len(sys.argv) > 3 and sys.argv[3] == 'warned':
        print(' '.join(h for h, r in sorted(hosts.items())
                       if r['warnings'] or any(i['warnings'] for i in r['items'])))
        return
    inventory = sorted(set(h for results in tasks.values() for h in results))
    words = []
    for host in inventory:
        r = hosts.get(host)
        if r is None:
            word = 'absent'
        elif r['failed']:
            errors = [r['last_error']] + [i['last_error'] for i in r['items'] if i['failed']]
            word = 'failed' if any(e is not None for e in errors) else 'failed-without-last-error'
        elif r['skipped']:
            word = 'skipped'
        else:
            word = 'changed' if r['changed'] else 'ok'
        words.append(host + ':' + word)
    print(' '.join(words))


main()
