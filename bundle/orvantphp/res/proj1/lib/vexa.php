<?php
// The process protocol of the server, as one small library for the pages.

declare(strict_types=1);

// One JSON document from an environment entry holding its hex coding.
function vexa_env_json(string $name): array
{
    $hex = getenv($name);
    if ($hex === false || $hex === '' || strlen($hex) % 2 !== 0) {
        return [];
    }
    $data = json_decode((string) hex2bin($hex), true);
    return is_array($data) ? $data : [];
}

function vexa_h(string $text): string
{
    return htmlspecialchars($text, ENT_QUOTES | ENT_SUBSTITUTE, 'UTF-8');
}

// A whole HTML page around a body, in the project's style.
function vexa_layout(string $title, string $body): string
{
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" . vexa_h($title)
        . "</title><link rel=\"stylesheet\" href=\"/style.css\"></head>\n<body><header><a href=\"/\">Sample project</a></header>\n<main><h1>"
        . vexa_h($title) . "</h1>\n" . $body . "\n</main></body></html>\n";
}

// What the server tells a page about its request.
final class VexaRequest
{
    public string $ctrl = '';
    public string $evt = '';
    public string $evtp = '';
    public string $aroot = '';
    public string $droot = '';
    /** idata: "Method", "URL", "Server" (HTTP_* and the like), "Header". */
    public array $info = [];
    /** cdata "postdata": form fields; an uploaded file's value is its saved path. */
    public array $post = [];
    /** cdata "sargv": the server's command-line options. */
    public array $sargv = [];
    /** bcookies: cookie name => value. */
    public array $cookies = [];

    public static function fromProcess(array $argv): self
    {
        $req = new self();
        $options = ['--ctrl' => 'ctrl', '--evt' => 'evt', '--evtp' => 'evtp', '--aroot' => 'aroot', '--droot' => 'droot'];
        for ($i = 1; $i < count($argv) - 1; $i++) {
            if (isset($options[$argv[$i]])) {
                $req->{$options[$argv[$i]]} = $argv[++$i];
            }
        }
        $req->info = vexa_env_json('idata');
        $cdata = vexa_env_json('cdata');
        $req->post = is_array($cdata['postdata'] ?? null) ? $cdata['postdata'] : [];
        $req->sargv = is_array($cdata['sargv'] ?? null) ? $cdata['sargv'] : [];
        $req->cookies = vexa_env_json('bcookies');
        return $req;
    }

    public function method(): string
    {
        return (string) ($this->info['Method'] ?? '');
    }

    public function server(string $name): string
    {
        return (string) ($this->info['Server'][$name] ?? '');
    }

    // The folder where the server saves uploaded files.
    public static function cacheDir(): string
    {
        return rtrim((string) getenv('VEXA_PROJDIR'), '/') . '/cache';
    }
}

// The reply of a page: one envelope per send(), each on one line.
// Headers and cookies reach the browser only with the first send(), which
// is when the server writes the HTTP header.
class VexaReply
{
    private array $headers = ['content-type' => ['text/html; charset=UTF-8']];
    private array $cookies = [];

    public function header(string $name, string $value): void
    {
        $this->headers[$name] = [$value];
    }

    public function contentType(string $type): void
    {
        $this->header('content-type', $type);
    }

    // $days: lifetime in days from now; 0 makes a session cookie.
    public function cookie(string $name, string $value, int $days = 0, string $path = '/',
                           string $domain = '', bool $secure = false, bool $httpOnly = true): void
    {
        $expiry = $days === 0 ? 0 : self::dayNumber(time()) + $days;
        $this->cookies[$name] = [$value, $expiry, $path, $domain, $secure, $httpOnly];
    }

    // Days since 30 December 1899, the server's date unit for cookie expiry.
    public static function dayNumber(int $unixTime): int
    {
        return 25569 + intdiv($unixTime, 86400);
    }

    public function send(string $content): void
    {
        $envelope = [
            'headers' => (object) $this->headers,
            'cookies' => (object) $this->cookies,
            'content' => strtoupper(bin2hex($content)),
        ];
        fwrite(STDOUT, json_encode($envelope, JSON_UNESCAPED_SLASHES) . "\n");
        fflush(STDOUT);
    }

    // JSON items for a script on the page: each "response.type" says who takes it.
    public function sendItems(array $items): void
    {
        $text = '';
        foreach ($items as $item) {
            $text .= json_encode($item, JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE) . ',';
        }
        $this->send($text);
    }
}
