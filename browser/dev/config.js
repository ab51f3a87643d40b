// Development configuration: the shipped one (config.shipped.js beside this
// file in the development copy) plus pages served from this computer, on
// any port. Never ship it: any local web server could then ask for
// certificates and signatures.
export * from "./config.shipped.js";
import { ALLOWED_PAGE_ORIGINS as SHIPPED } from "./config.shipped.js";

export const ALLOWED_PAGE_ORIGINS = [...SHIPPED, "http://127.0.0.1:*", "http://localhost:*"];
