#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: TKV
# MIT License (see doc/copyright in the tkvcert source)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: ca_trust
short_description: Install or remove one CA certificate in a Linux machine's trust store with tkvcert
version_added: "1.0.0"
description:
  - Runs C(tkvcert) on the target to install a CA certificate into the trust
    store's anchors directory, or to remove one, and refreshes the store (its
    bundle, Java's keystore through its hooks, and the browsers' policies)
    within the task. A refresh that failed fails the task, and the next run
    repairs it, so no handler is needed.
  - Whether anything changed is read from the tool's JSON report
    (C(TKVCERT_REPORT)), never from its text.
  - Check mode asks the tool's dry run (C(TKVCERT_DRY_RUN)) what would change,
    and is exact for both states, since the dry run makes the plan the real run
    carries out, refusals included. Only what a program's run tells (a
    refresh or hook that fails) is beyond it. A C(tkvcert) too old to have
    a dry run is refused in check mode rather than run for real.
  - For Windows targets use M(ansible.windows.win_certificate_store) with
    C(store_name) set to C(Root).
author:
  - TKV
requirements:
  - tkvcert 1.0.0 or later on the target (the Linux build), run as root
options:
  state:
    description:
      - C(present) installs the certificate in C(path), C(src) or C(content).
      - C(absent) removes the certificate with C(thumbprint), the one that
        C(path), C(src) or C(content) holds, or every certificate named C(name).
    type: str
    choices: [present, absent]
    default: present
  path:
    description:
      - A certificate file on the target, in any form C(tkvcert /install) reads.
      - With C(state=absent), the certificate it holds is removed by its
        SHA-256 thumbprint, which the tool's dry run of C(/install) reads
        from the file; so it needs a C(tkvcert) with a dry run.
      - Mutually exclusive with C(src), C(content), C(thumbprint) and C(name).
    type: path
  content:
    description:
      - The certificate as PEM text. It is written to a private temporary file
        on the target, which is removed after the task. It is C(no_log), never
        shown, nor logged.
      - With C(state=absent), as C(path).
      - Mutually exclusive with C(path), C(thumbprint) and C(name).
    type: str
  src:
    description:
      - A PEM certificate file on the controller, looked for as M(ansible.builtin.copy)
        looks for its C(src) (a role's C(files) first); Vault-encrypted files
        are read too. Its certificate blocks alone are sent to the target as
        C(content); a file holding a private key is refused.
      - With C(state=absent), as C(path).
      - Mutually exclusive with C(path), C(content), C(thumbprint) and C(name).
    type: path
  thumbprint:
    description:
      - With C(state=absent), the SHA-1 (40 hexadecimal digits) or SHA-256 (64)
        thumbprint of the certificate to remove, in either case; colons and
        spaces are ignored. Exactly that certificate goes, with all its copies,
        even when another has the same name; this is how a CA whose successor
        keeps its name is rotated out.
      - A certificate that only the distribution holds fails the task unless
        C(distribution) is set, rather than being distrusted unasked.
      - Mutually exclusive with C(name), C(path) and C(content).
    type: str
  name:
    description:
      - With C(state=absent), the name of the certificates to remove, exactly
        as C(tkvcert /uninstall) matches it (case and spaces included); the
        C(certificate.name) this module returns on install.
      - Every local certificate of that name is removed in the one task, each
        by its SHA-256 thumbprint, with a warning when there was more than one,
        so a second run changes nothing. The distribution's own certificates of
        that name are distrusted too only with C(distribution), and are
        otherwise left trusted, with a warning saying how many.
      - When nothing has that name, the task changes nothing, and warns
        only when the tool found close names (likely a typo), giving them.
      - Mutually exclusive with C(thumbprint), C(path) and C(content).
    type: str
  distribution:
    description:
      - Whether C(state=absent) reaches the distribution's own CA certificates
        (such as Debian's C(/usr/share/ca-certificates)) as well as the local
        ones. One of those is not deleted but distrusted, the distribution's
        own way (a C(!) line in C(/etc/ca-certificates.conf), or a blocklist
        file); C(state=present) of that certificate lifts the distrust again.
      - C(false) removes local certificates only. A local certificate that the
        distribution also holds is distrusted there as well when it is
        removed, whatever this says, since it would stay trusted otherwise.
      - Needs a C(tkvcert) whose report lists C(capabilities.distribution); an
        older one never touches the distribution's certificates, and C(true)
        then only adds a warning.
    type: bool
    default: false
  sysroot:
    description:
      - A directory that C(tkvcert) treats as C(/) (C(TKVCERT_SYSROOT)), for a
        container or system image.
    type: path
  browsers:
    description:
      - C(false) sets C(TKVCERT_BROWSERS=keep), so that the browsers' policy
        files are left as they are, with one exception. A removal still takes
        the certificate out of the tool's own Chromium policy file, since
        Chromium would otherwise go on trusting a CA the store no longer has.
    type: bool
    default: true
  clients:
    description:
      - What the tool does of programs with roots of their own (upstream
        certifi, JDKs with a C(cacerts) of their own, upstream node builds, CA
        copies under C(certs.d)) after a change (C(TKVCERT_CLIENTS)).
      - C(look) names them, each kind a warning, and returns them as C(clients).
      - C(off) does not look for them.
      - C(fix) looks, and points those it can at the store as the root names it
        (C(REQUESTS_CA_BUNDLE), C(NODE_EXTRA_CA_CERTS) and the SDKs' variables, and
        C(JAVA_TOOL_OPTIONS=-Djavax.net.ssl.trustStore=...) merged into
        C(/etc/environment) and a systemd manager drop-in, C(cert) in
        C(/etc/pip.conf), and C(cafile) in an upstream node's global npmrc,
        C(<prefix>/etc/npmrc)). A setting that names another file is left, with a warning.
        Only pointers are written, never a copy of the CA nor a package's file;
        services read them once restarted, and every JVM then prints
        "Picked up JAVA_TOOL_OPTIONS". It runs with each install or removal, even
        one that changed nothing in the store, and a fix it wrote changes the task.
    type: str
    choices: [look, 'off', fix]
    default: look
  executable:
    description:
      - The C(tkvcert) to run; a name without a slash is looked for on C(PATH),
        C(/usr/sbin) and C(/sbin) included.
    type: str
    default: tkvcert
notes:
  - The tool runs with a minimal environment (C(PATH) and C(LC_ALL=C)) and
    without a shell; its report is read through a private temporary file.
  - Removal by C(name) lists the store with the tool's dry run, then runs the
    tool once for each certificate chosen, at most 64 times.
  - What the tool says a person should know becomes a task warning. This
    covers a name that matched nothing but close names, a
    certificate that is not a CA or has expired, a file of several
    certificates, a bundle that OpenSSL reads nothing from, a CA that a
    browser still trusts, a private key beside a certificate, and where a
    removal kept such a key.
  - With C(--diff), the local certificates before and after, as
    "name (SHA-1)", from the tool's dry run; with C(distribution), the
    distribution's trusted ones too, each line as "name (SHA-1) [source]".
attributes:
  action:
    support: full
  check_mode:
    support: full
  diff_mode:
    support: full
'''

EXAMPLES = r'''
- name: Trust the corporate proxy's CA
  tkv.tkvcert.ca_trust:
    path: /etc/pki/corp-proxy-ca.pem

- name: Trust the proxy's CA, and point clients with roots of their own at the store
  tkv.tkvcert.ca_trust:
    path: /etc/pki/corp-proxy-ca.pem
    clients: fix

- name: Trust a CA given inline, leaving the browsers' policies alone
  tkv.tkvcert.ca_trust:
    content: "{{ lookup('ansible.builtin.file', 'files/corp-root-ca.pem') }}"
    browsers: false

- name: Rotate out the old Corp Root CA, whose successor has the same name
  tkv.tkvcert.ca_trust:
    state: absent
    thumbprint: 4AD02C5DD4D2F9A1C14FA563F63FA23331DFFA80

- name: Remove every certificate named "Corp Root CA"
  tkv.tkvcert.ca_trust:
    state: absent
    name: Corp Root CA

- name: Remove the CA that a file holds
  tkv.tkvcert.ca_trust:
    state: absent
    path: /etc/pki/corp-proxy-ca.pem

- name: Stop trusting a distribution CA
  tkv.tkvcert.ca_trust:
    state: absent
    thumbprint: 0F2D9C5B8E1A47C3D6B0E9F2A1C4D7E8B3F6A9C2D5E8F1B4A7C0D3E6F9B2C5D8
    distribution: true

- name: Install into an image's root
  tkv.tkvcert.ca_trust:
    path: /srv/images/web/ca.pem
    sysroot: /srv/images/web
'''

RETURN = r'''
certificate:
  description: The certificate installed (C(state=present)).
  returned: when C(state=present) and the tool could read it
  type: dict
  contains:
    name:
      description: The name C(tkvcert /uninstall) and C(name) match.
      type: str
      sample: Corp Root CA
    sha1:
      description: SHA-1 thumbprint, upper-case hexadecimal.
      type: str
      sample: 4AD02C5DD4D2F9A1C14FA563F63FA23331DFFA80
    sha256:
      description: SHA-256 thumbprint, upper-case hexadecimal.
      type: str
    subject:
      description: The subject, as text.
      type: str
      sample: CN=Corp Root CA,O=Corp
    not_after:
      description: The end of its validity, in UTC.
      type: str
      sample: "2030-01-01T00:00:00Z"
removed:
  description: >-
    The certificates removed (C(state=absent)), each as in C(certificate),
    with its C(source), and the C(files) a local one was removed from; in
    check mode, those that would be.
  returned: when C(state=absent)
  type: list
  elements: dict
  contains:
    source:
      description: Where it was, C(local) (the anchors directory) or C(distribution) (its own CAs).
      type: str
      sample: local
    distrusted_in:
      description: What changed to distrust the distribution's copy, the configuration with its new line or the blocklist file.
      returned: when the distribution's copy was distrusted, except in check mode
      type: list
      elements: str
      sample: ["/etc/ca-certificates.conf: !mozilla/ACCVRAIZ1.crt"]
store:
  description: The store the tool found.
  returned: when the tool found one
  type: dict
  contains:
    family:
      description: The distribution family, as the tool names it.
      type: str
      sample: Debian, Ubuntu
    anchors:
      description: The anchors directory.
      type: str
      sample: /usr/local/share/ca-certificates
    bundle:
      description: The bundle clients read.
      type: str
      sample: /etc/ssl/certs/ca-certificates.crt
browsers:
  description: The browser policy files written (or that would be).
  returned: always
  type: list
  elements: str
clients:
  description:
    - Programs with roots of their own that the tool's look after a change found
      (C(kind), C(path), C(follows), C(holds), C(fix)); each kind is also a warning.
      Empty when nothing changed, and with C(clients=off).
  returned: always
  type: list
  elements: dict
  sample: [{"kind": "certifi", "path": "/opt/app/lib/python3.11/site-packages/certifi/cacert.pem",
            "follows": false, "holds": false, "fix": "REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt"}]
clients_fixes:
  description:
    - With C(clients=fix), each file a pointer went to (C(file), C(setting)) and its
      C(state), C(written), C(would_write) (check mode), C(there), C(names_another)
      (a setting of its own was left) or C(failed).
  returned: always
  type: list
  elements: dict
browsers_still_trusting:
  description:
    - Each browser that still trusts a CA removed, because another policy file of its
      outweighs the tool's (Chromium takes each policy key from the last file of its
      C(managed/) directory); each is also a warning.
  returned: always
  type: list
  elements: dict
  sample: [{"browser": "Chromium", "file": "/etc/chromium/policies/managed/zz-admin.json"}]
messages:
  description: The lines the tool wrote on standard error, every run's, without the C(tkvcert) prefix.
  returned: always, failed included
  type: list
  elements: str
last_error:
  description: The tool's last-error code, for example C(0x2); see tkvcert(8), DIAGNOSTICS.
  returned: failed, when the tool reported one
  type: str
  sample: "0x2"
rc:
  description: The tool's exit status.
  returned: failed
  type: int
stdout:
  description: What the tool printed on standard output, in the run that failed.
  returned: failed, when the tool ran
  type: str
stderr:
  description: What the tool printed on standard error, in the run that failed.
  returned: failed, when the tool ran
  type: str
stdout_lines:
  description: The tool's standard output.
  returned: failed, when the tool ran
  type: list
  elements: str
stderr_lines:
  description: The tool's standard error.
  returned: failed, when the tool ran
  type: list
  elements: str
'''

import json
import os
import re
import subprocess
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_bytes, to_text

# Removal by name takes one certificate a run; this bounds the runs of a task.
MAX_REMOVAL_RUNS = 64
# The tool runs as root: nothing of the caller's environment reaches it.
BASE_ENVIRONMENT = {'PATH': '/usr/sbin:/usr/bin:/sbin:/bin', 'LC_ALL': 'C'}
# The tool's lines that a person has to act on, by the words that stay the
# same whatever certificate or file they are about. A play shows warnings;
# it shows messages only to whoever reads the registered result.
NOTABLE = re.compile(r"still trusts|is not a CA|expired|holds a private key|kept a private key|the file held "
                     r"|OpenSSL's clients read no certificate")
# Said by a run that removed nothing, which is the task's news only when no
# run of it removed anything (removal by name ends with such a run), and
# only when the report does not say the goal was met already, or the tool
# offered near names, which look like a typo.
UNMATCHED = re.compile(r'^(nothing was removed|the closest names there)')
CLOSEST = 'the closest names there:'


class Run(object):
    def __init__(self, rc, stdout, stderr, report):
        self.rc, self.stdout, self.stderr, self.report = rc, stdout, stderr, report

    def ok(self):
        return self.rc == 0 and self.report is not None and self.report.get('outcome') == 'ok'

    def changed(self):
        changed = (self.report or {}).get('changed') or {}
        wrote = any(fix.get('state') in ('written', 'would_write')
                    for fix in (self.report or {}).get('clients_fixes') or [])
        return bool(changed.get('anchors') or changed.get('bundle') or changed.get('browsers')
                    or changed.get('finished_cut_off_change') or wrote)


class Tool(object):
    def __init__(self, module, executable, messages):
        self.module = module
        self.executable = executable
        self.environment = dict(BASE_ENVIRONMENT)
        params = module.params
        if params['sysroot']:
            self.environment['TKVCERT_SYSROOT'] = params['sysroot']
        if not params['browsers']:
            self.environment['TKVCERT_BROWSERS'] = 'keep'
        self.clients = params['clients'] if params['clients'] != 'look' else None
        self.warnings = []
        self.messages = messages
        self.unmatched = []
        self.already = None  # the last run's word for a goal met: absent or distrusted
        self.probe = None
        # What the task did before a failure, which the failure reports too.
        self.result = dict(changed=False, browsers_still_trusting=[], clients=[], clients_fixes=[])

    def run(self, args, dry_run=False, uninstall_by=None, listing=False, quiet=False):
        environment = dict(self.environment)
        if dry_run:
            environment['TKVCERT_DRY_RUN'] = '1'
        if uninstall_by:
            environment['TKVCERT_UNINSTALL_BY'] = uninstall_by
        # The tool refuses a fix without a command; a listing's run writes none.
        if args and (self.clients == 'off' or (self.clients == 'fix' and not listing)):
            environment['TKVCERT_CLIENTS'] = self.clients
        # A file, not a pipe: a dry run's list can outgrow a pipe's buffer
        # while nothing reads it until the tool ends.
        with tempfile.TemporaryFile() as report_file:
            fd = report_file.fileno()
            environment['TKVCERT_REPORT'] = str(fd)
            try:
                process = subprocess.Popen([self.executable] + args, env=environment, cwd='/',
                                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, close_fds=True, pass_fds=(fd,))
                stdout, stderr = process.communicate()
            except OSError as e:
                self.module.fail_json(msg='cannot run %s: %s' % (self.executable, to_text(e)))
            report_file.seek(0)
            run = Run(process.returncode, to_text(stdout, errors='surrogate_or_replace'),
                      to_text(stderr, errors='surrogate_or_replace'), read_report(report_file.read()))
        if run.report is not None and not quiet:
            messages = run.report.get('messages') or []
            for warning in run.report.get('warnings') or []:
                self.warn(warning)
            for still in run.report.get('browsers_still_trusting') or []:
                self.still_trusting(still)
            self.add_clients(run.report)
            if args:  # the probe's usage is no certificate's
                self.unmatched.extend(m for m in messages if UNMATCHED.match(m) and m not in self.unmatched)
                self.already = run.report.get('already')
            if not listing:  # a listing's "nothing was removed" is not the task's
                self.messages.extend(messages)
                for message in messages:
                    if NOTABLE.search(message):
                        self.warn(message)
        return run

    def add_clients(self, report):
        """Each store once, as the last run that looked saw it."""
        for key, identity in (('clients', ('kind', 'path')), ('clients_fixes', ('file', 'setting'))):
            for entry in report.get(key) or []:
                self.result[key] = [e for e in self.result[key]
                                    if [e.get(k) for k in identity] != [entry.get(k) for k in identity]]
                self.result[key].append(entry)

    def warn(self, line):
        if line not in self.warnings:
            self.warnings.append(line)
            self.module.warn('tkvcert: %s' % line)

    def still_trusting(self, still):
        if still in self.result['browsers_still_trusting']:
            return
        self.result['browsers_still_trusting'].append(still)
        # The tool's own line names the file; whatever its words, the task warns.
        if not any('still trusts' in line and still.get('file', '') in line for line in self.warnings):
            self.warn("%s still trusts the CA removed: %s outweighs the tool's policy file"
                      % (still.get('browser'), still.get('file')))

    def warn_unmatched(self):
        if self.already and not any(line.startswith(CLOSEST) for line in self.unmatched):
            return
        for line in self.unmatched:
            self.warn(line)

    def fail(self, run, what):
        result = dict(self.result, rc=run.rc, stdout=run.stdout, stderr=run.stderr,
                      stdout_lines=run.stdout.splitlines(), stderr_lines=run.stderr.splitlines(),
                      messages=self.messages)
        if run.report is None:
            result['msg'] = ('%s: %s wrote no report (TKVCERT_REPORT), exit status %d: %s'
                             % (what, self.executable, run.rc,
                                last_line(run.stderr) or 'nothing on standard error'))
        else:
            # The error names the call that failed, the last message what the
            # tool was doing; the code alone tells a person nothing.
            error = run.report.get('error') or {}
            messages = run.report.get('messages') or []
            why = [error.get('message') or 'outcome %s' % run.report.get('outcome')]
            if error.get('last_error'):
                result['last_error'] = error['last_error']
                why[0] += ' (LastError %s)' % error['last_error']
            if messages and messages[-1] != error.get('message'):
                why.append(messages[-1])
            result['msg'] = '%s failed: %s' % (what, '; '.join(why))
        self.module.fail_json(**result)

    def checked(self, args, what, **kwargs):
        run = self.run(args, **kwargs)
        if not run.ok():
            self.fail(run, what)
        return run

    def capabilities(self):
        if self.probe is None:
            self.probe = self.run([], listing=True)
        return (self.probe.report or {}).get('capabilities') or {}

    def require_dry_run(self):
        """An older binary ignores TKVCERT_DRY_RUN and would act for real."""
        if not self.capabilities().get('dry_run'):
            self.module.fail_json(
                msg='%s has no dry run (its report, run without arguments, lists no '
                    'capabilities.dry_run): refusing to run it in check or diff mode; '
                    'install tkvcert 1.0.0 or later' % self.executable,
                rc=self.probe.rc, stdout_lines=self.probe.stdout.splitlines(),
                stderr_lines=self.probe.stderr.splitlines())


# What drives a terminal: C0 controls (but tab), DEL, C1 controls, and the
# bidirectional controls and separators that reorder the text around them.
# The tool escapes its own lines so; what reaches ansible-playbook's terminal
# from here (warnings, messages, what the tool printed) is escaped the same.
CONTROLS = re.compile(u'[\x00-\x08\x0a-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069]')


def shown(text, lines=False):
    def escape(match):
        c = match.group(0)
        if lines and c == '\n':
            return c
        return '\\x%02x' % ord(c) if ord(c) < 0x80 else '\\u%04x' % ord(c)
    return CONTROLS.sub(escape, text)


def shown_result(value, key=None):
    """Every string of a result, escaped; what the tool printed and the diff keep their lines."""
    if isinstance(value, dict):
        return dict((k, shown_result(v, k)) for k, v in value.items())
    if isinstance(value, list):
        return [shown_result(v, key) for v in value]
    if isinstance(value, str):
        return shown(value, lines=key in ('stdout', 'stderr', 'before', 'after'))
    return value


def escaping(module):
    """The module's ways out, each showing only escaped text."""
    exit_json, fail_json, warn = module.exit_json, module.fail_json, module.warn
    messages = []  # the tool's, on every way out, however early
    module.exit_json = lambda **result: exit_json(**shown_result(dict(dict(messages=messages), **result)))
    module.fail_json = lambda **result: fail_json(**shown_result(dict(dict(messages=messages), **result)))
    module.warn = lambda text: warn(shown(text))
    return messages


def read_report(data):
    text = to_text(data, errors='surrogate_or_replace').strip()
    if not text:
        return None
    try:
        report = json.loads(text)
    except ValueError:
        return None
    return report if isinstance(report, dict) else None


def last_line(text):
    lines = text.strip().splitlines()
    return lines[-1] if lines else ''


def trusted(report, distribution=False):
    """The store as the diff shows it: the local certificates, and with
    distribution the distribution's that are not distrusted."""
    return [c for c in (report.get('certificates') or []) if c.get('source') == 'local'
            or (distribution and c.get('source') == 'distribution' and not c.get('distrusted'))]


def listing(certificates, distribution=False):
    return ''.join(sorted('%s (%s)%s\n' % (c.get('name'), c.get('sha1'),
                                           ' [%s]' % c.get('source', 'local') if distribution else '')
                          for c in certificates))


def described(certificate):
    return dict((k, certificate[k]) for k in ('name', 'sha1', 'sha256', 'subject', 'not_after', 'files')
                if k in certificate)


def described_removal(certificate):
    # A tool without the distribution's certificates removed only local ones.
    return dict(described(certificate), source=certificate.get('source', 'local'),
                **dict((k, certificate[k]) for k in ('distrusted_in',) if k in certificate))


def thumbprint_kind(module, thumbprint):
    digits = re.sub(r'[\s:]', '', thumbprint)
    if not re.match(r'^[0-9A-Fa-f]+$', digits) or len(digits) not in (40, 64):
        module.fail_json(msg='thumbprint must be a SHA-1 (40 hexadecimal digits) or SHA-256 (64) '
                             'thumbprint, not %r' % thumbprint)
    return digits.upper(), 'sha1' if len(digits) == 40 else 'sha256'


def find_executable(module):
    executable = module.params['executable']
    if '/' in executable:
        if not os.access(executable, os.X_OK):
            module.fail_json(msg='%s is not an executable file' % executable)
        return executable
    found = module.get_bin_path(executable, opt_dirs=['/usr/sbin', '/sbin'])
    if not found:
        module.fail_json(msg='%s was not found on PATH, /usr/sbin or /sbin: install tkvcert, '
                             'or give its path as executable' % executable)
    return found


def describe_command(module):
    params = module.params
    if params['state'] == 'present':
        return 'tkvcert /install %s' % (params['path'] or '(content)')
    return 'tkvcert /uninstall %s' % (params['thumbprint'] or params['name'])


def install(module, tool, path, result):
    run = tool.checked(['/install', path], describe_command(module), dry_run=module.check_mode)
    report = run.report
    result['changed'] = run.changed()
    if 'certificate' in report:
        result['certificate'] = described(report['certificate'])
    return run


def predicted_install(before, report):
    sha1 = (report.get('certificate') or {}).get('sha1')
    if not sha1 or any(c.get('sha1') == sha1 for c in before):
        return before
    return before + [report['certificate']]


def remove(module, tool, result):
    params = module.params
    capable = tool.capabilities().get('distribution')
    if params['distribution'] and not capable:
        module.warn('%s cannot distrust the distribution\'s certificates (its report lists no '
                    'capabilities.distribution): only local certificates are removed' % tool.executable)
    name = params['name']
    if params['thumbprint']:
        run = remove_by_thumbprint(module, tool, result, capable)
    else:
        run = remove_chosen(module, tool, result) if capable else remove_one_a_run(module, tool, result)
    if not result['removed']:
        tool.warn_unmatched()
    elif name and len(result['removed']) > 1:
        module.warn('%s %d certificates named %r: %s' % (
            'would remove' if module.check_mode else 'removed', len(result['removed']), name,
            ', '.join(c.get('sha1', '?') for c in result['removed'])))
    return run


def held_thumbprint(module, tool, path):
    """The SHA-256 of the certificate in a file, as the tool reads it: the
    file may be DER, PEM with text around it, or PKCS#7, and the tool's
    reading is the one that decides what it would find installed."""
    tool.require_dry_run()
    run = tool.checked(['/install', path], 'tkvcert /install %s (to read its certificate)'
                       % (module.params['path'] or '(content)'), dry_run=True, listing=True, quiet=True)
    sha256 = (run.report.get('certificate') or {}).get('sha256')
    if not sha256:
        module.fail_json(msg='%s read no certificate in %s: nothing to remove by'
                             % (tool.executable, module.params['path'] or 'content'), **tool.result)
    return sha256


def remove_by_thumbprint(module, tool, result, capable):
    thumbprint, kind = thumbprint_kind(module, module.params['thumbprint'])
    args, what = ['/uninstall', thumbprint], describe_command(module)
    run = None
    if capable and not module.params['distribution']:
        # The tool finds the distribution's certificates by thumbprint too:
        # one of those is distrusted only when the task says so.
        run = tool.checked(args, what, dry_run=True, uninstall_by=kind, listing=not module.check_mode)
        held = [c for c in trusted(run.report, True) if (c.get(kind) or '').upper() == thumbprint]
        if held and not any(c.get('source') == 'local' for c in held):
            module.fail_json(msg='%s: %s is one of the distribution\'s certificates (%s), which this '
                                 'task would distrust; set distribution: true to distrust it'
                                 % (what, thumbprint, held[0].get('name')), **result)
    if run is None or not module.check_mode:
        run = tool.checked(args, what, dry_run=module.check_mode, uninstall_by=kind)
    if kind not in ((run.report.get('capabilities') or {}).get('uninstall_by') or []):
        module.fail_json(msg='%s cannot remove by %s: it took the thumbprint for a name'
                             % (tool.executable, kind))
    result['changed'] = run.changed()
    result['removed'] = [described_removal(c) for c in run.report.get('removed') or []]
    return run


def remove_chosen(module, tool, result):
    """Each certificate of the name, chosen from the list, by its own thumbprint:
    "/uninstall <name>" takes the first of that name wherever it is, and several
    of the distribution's roots can share one name."""
    name, distribution = module.params['name'], module.params['distribution']
    what = describe_command(module)
    run = tool.checked(['/uninstall', name], what, dry_run=True, listing=True)
    named = [c for c in trusted(run.report, True) if c.get('name') == name]
    chosen = [c for c in named if distribution or c.get('source') == 'local']
    spared = len(named) - len(chosen)
    if spared:
        module.warn('%d of the distribution\'s certificates named %r %s trusted; distribution: true '
                    'distrusts them' % (spared, name, 'would stay' if module.check_mode else 'stay'))
    if len(chosen) > MAX_REMOVAL_RUNS:
        module.fail_json(msg='%s: %d certificates named %r, more than the %d runs a task makes; '
                             'remove them by thumbprint' % (what, len(chosen), name, MAX_REMOVAL_RUNS))
    if module.check_mode:
        result['changed'] = bool(chosen)
        result['removed'] = [described_removal(c) for c in chosen]
        return run
    result['removed'] = []
    for certificate in chosen:
        run = tool.checked(['/uninstall', certificate['sha256']], what, uninstall_by='sha256')
        result['changed'] = result['changed'] or run.changed()
        result['removed'].extend(described_removal(c) for c in run.report.get('removed') or [])
    return run


def remove_one_a_run(module, tool, result):
    """A tool without the distribution's certificates: "/uninstall <name>"
    again until it removes nothing."""
    name, what = module.params['name'], describe_command(module)
    if module.check_mode:
        # The dry run decides one removal; the list shows every one to come.
        run = tool.checked(['/uninstall', name], what, dry_run=True)
        doomed = [c for c in trusted(run.report) if c.get('name') == name]
        result['changed'] = run.changed() or bool(doomed)
        result['removed'] = [described_removal(c) for c in doomed]
        return run
    result['removed'] = []
    for _ in range(MAX_REMOVAL_RUNS):
        run = tool.checked(['/uninstall', name], what)
        result['changed'] = result['changed'] or run.changed()
        removed = run.report.get('removed') or []
        if not removed:
            return run
        result['removed'].extend(described_removal(c) for c in removed)
    module.fail_json(msg='%s: still removing certificates named %r after %d runs'
                         % (what, name, MAX_REMOVAL_RUNS), **result)


def predicted_removal(before, removed):
    gone = set(c.get('sha1') for c in removed)
    return [c for c in before if c.get('sha1') not in gone]


def apply_state(module, tool, path, result):
    present, distribution = module.params['state'] == 'present', module.params['distribution']
    if not present and path:
        module.params['thumbprint'] = held_thumbprint(module, tool, path)
    listing_args = ['/install', path] if present else ['/uninstall', module.params['name'] or '-']

    def listed():
        return trusted(tool.checked(listing_args, describe_command(module), dry_run=True,
                                    listing=True, quiet=True).report, distribution)

    before = listed() if module._diff and not module.check_mode else None
    run = install(module, tool, path, result) if present else remove(module, tool, result)
    if run.report.get('store'):
        result['store'] = run.report['store']
    # A run that changed nothing wrote no browser file: what the listing of a
    # removal by name planned for a certificate left alone is not this task's.
    result['browsers'] = result['changed'] and (run.report.get('changed') or {}).get('browsers') or []
    if not module._diff:
        return
    if module.check_mode:
        before = trusted(run.report, distribution)
        after = predicted_install(before, run.report) if present else \
            predicted_removal(before, result['removed'])
    else:
        after = listed()
    header = 'certificates' if distribution else 'local certificates'
    result['diff'] = dict(before=listing(before, distribution), after=listing(after, distribution),
                          before_header=header, after_header=header)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            state=dict(type='str', default='present', choices=['present', 'absent']),
            path=dict(type='path'),
            src=dict(type='path'),
            content=dict(type='str', no_log=True),
            thumbprint=dict(type='str'),
            name=dict(type='str'),
            distribution=dict(type='bool', default=False),
            sysroot=dict(type='path'),
            browsers=dict(type='bool', default=True),
            clients=dict(type='str', default='look', choices=['look', 'off', 'fix']),
            executable=dict(type='str', default='tkvcert'),
        ),
        mutually_exclusive=[('path', 'src', 'content', 'thumbprint', 'name')],
        required_if=[('state', 'present', ('path', 'src', 'content'), True),
                     ('state', 'absent', ('thumbprint', 'name', 'path', 'src', 'content'), True)],
        supports_check_mode=True,
    )
    messages = escaping(module)
    params = module.params
    if params['src'] is not None:
        module.fail_json(msg='src reached the target: it is read on the controller by the '
                             'tkv.tkvcert.ca_trust action, which did not run (call the module by that name)')
    if params['state'] == 'present' and (params['thumbprint'] or params['name']):
        module.fail_json(msg='thumbprint and name are for state=absent')

    tool = Tool(module, find_executable(module), messages)
    if module.check_mode or module._diff:
        tool.require_dry_run()
    result = tool.result
    temporary = None
    try:
        path = params['path']
        if params['content'] is not None:
            fd, temporary = tempfile.mkstemp(prefix='tkvcert-', suffix='.pem')
            with os.fdopen(fd, 'wb') as f:
                f.write(to_bytes(params['content']))
            path = temporary
        apply_state(module, tool, path, result)
    finally:
        if temporary:
            os.unlink(temporary)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
